// The Windows builds' driver images: native PE images (PE32 for x86, PE32+
// for x86-64) whose imports come from the kernel and the HAL only, so that
// the system loader accepts them, and whose code uses the general registers
// only, because the kernel saves no FPU, MMX or SSE state for a driver.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace {

struct ImageCase {
    const char *Name;          // test name suffix
    const char *PathVariable;  // environment variable naming the image
    const char *BuildDir;      // default build folder under the source tree
    const char *Objdump;       // the matching objdump
    const char *Format;        // objdump's file format
    const char *Magic;         // optional header magic
};

void PrintTo(const ImageCase &c, std::ostream *os)
{
    *os << c.Name;
}

const ImageCase kImages[] = {
    {"win32", "TESSIRO_WIN32_SYS", "build/win32", "i686-w64-mingw32-objdump", "pei-i386", "010b"},
    {"win64", "TESSIRO_WIN64_SYS", "build/win64", "x86_64-w64-mingw32-objdump", "pei-x86-64", "020b"},
};

std::string ImagePath(const ImageCase &image)
{
    const char *path = std::getenv(image.PathVariable);
    if (path != nullptr && *path != '\0')
        return path;
    return std::string(TESSIRO_SOURCE_DIR "/") + image.BuildDir + "/driver/Tessiro8.sys";
}

bool Exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string RunCapture(const std::string &command, int *exitCode)
{
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

class DriverImage : public ::testing::TestWithParam<ImageCase> {
protected:
    void SetUp() override
    {
        Path = ImagePath(GetParam());
        if (!Exists(Path))
            GTEST_SKIP() << "no " << GetParam().Name << " build of the driver at " << Path;
        int code = 0;
        Headers = RunCapture(std::string(GetParam().Objdump) + " -p '" + Path + "' 2>&1", &code);
        ASSERT_EQ(code, 0) << Headers;
    }

    std::string Path;
    std::string Headers;
};

TEST_P(DriverImage, IsNativeImageOfItsArchitectureWithEntryPoint)
{
    EXPECT_NE(Headers.find(std::string("file format ") + GetParam().Format), std::string::npos) << Headers;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(Headers, m, std::regex(R"(Magic\s+([0-9a-fA-F]+))")));
    EXPECT_EQ(m[1].str(), GetParam().Magic);
    ASSERT_TRUE(std::regex_search(Headers, m, std::regex(R"(Subsystem\s+([0-9a-fA-F]+))")));
    EXPECT_EQ(std::stoul(m[1].str(), nullptr, 16), 1u) << "subsystem must be native";
    ASSERT_TRUE(std::regex_search(Headers, m, std::regex(R"(AddressOfEntryPoint\s+([0-9a-fA-F]+))")));
    EXPECT_NE(std::stoul(m[1].str(), nullptr, 16), 0u) << "no entry point";
}

TEST_P(DriverImage, ImportsOnlyFromKernelAndHal)
{
    std::set<std::string> dlls;
    std::regex dllName(R"(DLL Name:\s*(\S+))");
    for (std::sregex_iterator it(Headers.begin(), Headers.end(), dllName), end; it != end; ++it)
        dlls.insert((*it)[1].str());
    EXPECT_TRUE(dlls.count("ntoskrnl.exe")) << "no kernel imports found";
    for (const std::string &dll : dlls)
        EXPECT_TRUE(dll == "ntoskrnl.exe" || dll == "HAL.dll") << "unexpected import from " << dll;
}

TEST_P(DriverImage, CodeUsesGeneralRegistersOnly)
{
    int code = 0;
    std::string listing =
        RunCapture(std::string(GetParam().Objdump) + " -d --no-show-raw-insn '" + Path + "' 2>&1", &code);
    ASSERT_EQ(code, 0) << listing;
    // x87 mnemonics all begin with 'f' (no integer instruction does); MMX and
    // SSE show in their registers.
    std::regex floating(R"(^\s*[0-9a-f]+:\s+(f[a-z0-9]+|emms|ldmxcsr|stmxcsr)\b|%(x|y)?mm[0-9]|%st\b)");
    std::istringstream lines(listing);
    std::string line;
    int found = 0;
    while (std::getline(lines, line)) {
        if (std::regex_search(line, floating) && ++found <= 5)
            ADD_FAILURE() << "floating-point or vector instruction in kernel code: " << line;
    }
    EXPECT_EQ(found, 0);
}

INSTANTIATE_TEST_SUITE_P(Builds, DriverImage, ::testing::ValuesIn(kImages),
                         [](const ::testing::TestParamInfo<ImageCase> &info) { return info.param.Name; });

}  // namespace
