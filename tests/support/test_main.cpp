// Test entry point: points HOME at a fresh temporary folder before anything
// can touch the history database, and removes it afterwards.
#include <gtest/gtest.h>

#include <QDir>

#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    std::string base = QDir::tempPath().toStdString() + "/quillmere-test-XXXXXX";
    if (!mkdtemp(base.data()))
        return 2;
    setenv("HOME", base.c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    QDir(QString::fromStdString(base)).removeRecursively();
    return rc;
}
