#include "fixture.h"

TEST_F(TrakxTest, Smoke) {
    EXPECT_EQ(Function({"NOPE"}), "Invalid Function");
    EXPECT_EQ(Command({"NOPE"}), 0);
}
