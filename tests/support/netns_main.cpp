// Entry of the test binaries that use the network: the host binds fixed
// ports and tests send discovery datagrams and multicast, none of which may
// reach the machine's real interfaces. So every test process moves into a
// network namespace of its own before any thread starts, or refuses to run.
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
