// The per-thread last error and the system's texts.
#include "platform/sys/sys_error.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace plk::platform {
namespace {

TEST(SysError, TextOrNumber) {
    EXPECT_FALSE(ErrorText(2).empty());
    EXPECT_EQ(ErrorText(2).find("error 2"), std::string::npos);
    EXPECT_EQ(ErrorText(987654), "error 987654");
    std::thread other([] { SetLastError(77); });
    SetLastError(5);
    other.join();
    EXPECT_EQ(LastError(), 5);  // per thread
}

}  // namespace
}  // namespace plk::platform
