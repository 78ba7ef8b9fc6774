// Entry point of every test binary: HOME points at a fresh temporary folder,
// removed with all it holds at the end, so nothing touches the real home.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    std::string home = (std::filesystem::temp_directory_path() / "quillmere-test-XXXXXX").string();
    if (!mkdtemp(home.data()))
        return 2;
    setenv("HOME", home.c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    std::filesystem::remove_all(home);
    return rc;
}
