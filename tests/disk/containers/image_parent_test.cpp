// Where a differencing or overlay image's parent lies, as the container names it.
#include "image.h"

#include <gtest/gtest.h>

namespace {

struct ParentCase {
    const char* child;
    const char* named;
    const char* expect;
};

void PrintTo(const ParentCase& c, std::ostream* os) {
    *os << c.child << " names " << c.named;
}

class Parents : public testing::TestWithParam<ParentCase> {};

TEST_P(Parents, Resolve) {
    EXPECT_EQ(disk::ResolveParent(GetParam().child, GetParam().named), GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(Disk, Parents,
                         testing::Values(ParentCase{"/vm/child.vhdx", "base.vhdx", "/vm/base.vhdx"},
                                         ParentCase{"/vm/child.vhdx", ".\\disks\\base.vhdx", "/vm/disks/base.vhdx"},
                                         // A Windows path means nothing here: beside the child.
                                         ParentCase{"/vm/child.vhdx", "C:\\Hyper-V\\base.vhdx", "/vm/base.vhdx"},
                                         ParentCase{"/vm/over.qcow2", "/images/base.qcow2", "/images/base.qcow2"},
                                         ParentCase{"over.qcow2", "../base.qcow2", "../base.qcow2"}));

}  // namespace
