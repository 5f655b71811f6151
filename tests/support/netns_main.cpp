// The entry point of test binaries that use the network. The nearby host
// binds the fixed ports 8788/8789 and answers discovery datagrams, and the
// tests send such datagrams and multicast: none of that may reach the
// machine's real interfaces, which are shared with others. So every test
// process first moves into a network namespace of its own, before any thread
// starts. ctest runs each case as its own process, so cases also never meet
// over the fixed ports. Without the namespace the tests refuse to run.
#include "netns.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sched.h>

int main(int argc, char** argv) {
    if (unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr,
                     "cannot create a private network namespace (%s): these tests need root "
                     "and never fall back to the real network\n",
                     std::strerror(errno));
        return 2;
    }
    if (!zephlink::test::bringLoopbackUp()) {
        std::fprintf(stderr, "cannot bring up the namespace's loopback interface (%s)\n",
                     std::strerror(errno));
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
