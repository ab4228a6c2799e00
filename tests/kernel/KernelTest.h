// Fixture and helpers of the host kernel's tests.
#pragma once

#include <HostKernel.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <stdlib.h>

// Boots a fresh kernel per test and expects a clean shutdown.
class KernelTest : public ::testing::Test {
protected:
    void SetUp() override { host::KernelBoot(); }
    void TearDown() override { EXPECT_TRUE(host::KernelShutdown()); }
};

// A kernel whose drive S: is mapped to a fresh host directory (512-byte
// sectors), removed after the test.
class FileDriveTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        char Template[] = "/tmp/hostkernel-files-XXXXXX";
        ASSERT_NE(mkdtemp(Template), nullptr);
        Directory = Template;
        host::MapFileDrive({L'S', Directory, 512, nullptr, 0});
    }
    void TearDown() override
    {
        KernelTest::TearDown();
        std::string Command = "rm -rf " + Directory;
        EXPECT_EQ(system(Command.c_str()), 0);
    }

    std::string Directory;
};

// A UNICODE_STRING over a literal.
inline UNICODE_STRING Name(const wchar_t *Text)
{
    UNICODE_STRING String;
    RtlInitUnicodeString(&String, Text);
    return String;
}

inline LARGE_INTEGER RelativeMs(long long Milliseconds)
{
    LARGE_INTEGER Interval;
    Interval.QuadPart = -Milliseconds * 10000;
    return Interval;
}

constexpr ULONG TestTag = 0x74736554;  // 'Test'
