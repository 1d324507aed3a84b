#include <gtest/gtest.h>

#include "support/install_tree.h"

int main(int argc, char** argv) {
    testsupport::EnterInstallTree(argv);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    testsupport::LeaveInstallTree();
    return result;
}
