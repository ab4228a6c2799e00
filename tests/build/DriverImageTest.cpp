// The Windows build's driver image: a native 32-bit PE whose imports come
// from the kernel and the HAL only, so that the system loader accepts it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>

namespace {

std::string DriverImagePath() {
    const char *path = std::getenv("TESSIRO_WIN32_SYS");
    if (path != nullptr && *path != '\0')
        return path;
    return TESSIRO_SOURCE_DIR "/build/win32/driver/Tessiro8.sys";
}

bool Exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string RunCapture(const std::string &command, int *exitCode) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *exitCode = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        out.append(buffer, n);
    *exitCode = pclose(pipe);
    return out;
}

class DriverImage : public ::testing::Test {
protected:
    void SetUp() override {
        Path = DriverImagePath();
        if (!Exists(Path))
            GTEST_SKIP() << "no Windows build of the driver at " << Path;
        int code = 0;
        Headers = RunCapture("i686-w64-mingw32-objdump -p '" + Path + "' 2>&1", &code);
        ASSERT_EQ(code, 0) << Headers;
    }

    std::string Path;
    std::string Headers;
};

TEST_F(DriverImage, IsNativeI386ImageWithEntryPoint) {
    EXPECT_NE(Headers.find("file format pei-i386"), std::string::npos) << Headers;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(Headers, m, std::regex(R"(Subsystem\s+([0-9a-fA-F]+))")));
    EXPECT_EQ(std::stoul(m[1].str(), nullptr, 16), 1u) << "subsystem must be native";
    ASSERT_TRUE(std::regex_search(Headers, m, std::regex(R"(AddressOfEntryPoint\s+([0-9a-fA-F]+))")));
    EXPECT_NE(std::stoul(m[1].str(), nullptr, 16), 0u) << "no entry point";
}

TEST_F(DriverImage, ImportsOnlyFromKernelAndHal) {
    std::set<std::string> dlls;
    std::regex dllName(R"(DLL Name:\s*(\S+))");
    for (std::sregex_iterator it(Headers.begin(), Headers.end(), dllName), end; it != end; ++it)
        dlls.insert((*it)[1].str());
    EXPECT_TRUE(dlls.count("ntoskrnl.exe")) << "no kernel imports found";
    for (const std::string &dll : dlls)
        EXPECT_TRUE(dll == "ntoskrnl.exe" || dll == "HAL.dll") << "unexpected import from " << dll;
}

}  // namespace
