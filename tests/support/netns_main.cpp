// Every test process that uses the network moves into a namespace of its own
// before any thread starts, or refuses to run: nothing may reach real interfaces.
#include "netns.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <sched.h>
#ifdef QT_CORE_LIB
#include <QCoreApplication>
#endif

int main(int argc, char** argv) {
    if (unshare(CLONE_NEWNET) != 0 || !zephlink::test::bringLoopbackUp()) {
        std::perror("cannot make a private network namespace; refusing to run");
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
#ifdef QT_CORE_LIB
    QCoreApplication app(argc, argv);
#endif
    return RUN_ALL_TESTS();
}
