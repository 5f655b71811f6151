// Entry point of Qt tests that run real nearby hosts: the process moves into
// a network namespace of its own first (see netns_main.cpp for why), then
// gets a Qt application object.
#include "netns.h"

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sched.h>

int main(int argc, char** argv) {
    if (unshare(CLONE_NEWNET) != 0 || !zephlink::test::bringLoopbackUp()) {
        std::fprintf(stderr, "cannot make a private network namespace (%s); refusing to run\n",
                     std::strerror(errno));
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
