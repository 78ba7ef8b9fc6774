// A host that hands the library a copy of SQLite's routines table whose memory
// and message functions keep count: the library allocates through the copy,
// frees what it keeps through the copy, and frees nothing it got elsewhere.
#include "overlay_fixture.h"
#include "quillmere.h"
#include "routines.h"

#include "engine.h"

#include <cstdarg>
#include <set>

namespace {

const sqlite3_api_routines* real = nullptr;
std::set<void*> records, messages; // blocks handed out and not yet freed through the copy
int allocations = 0, foreignFrees = 0;

void* countedMalloc(int size)
{
    void* block = real->malloc(size);
    ++allocations;
    return *records.insert(block).first;
}

void countedFree(void* block)
{
    if (block && !records.erase(block) && !messages.erase(block))
        ++foreignFrees;
    real->free(block);
}

char* countedVmprintf(const char* format, va_list arguments)
{
    char* text = real->vmprintf(format, arguments);
    ++allocations;
    messages.insert(text);
    return text;
}

char* countedMprintf(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    char* text = countedVmprintf(format, arguments);
    va_end(arguments);
    return text;
}

TEST_F(OverlayTest, EverythingOnTheHostsSideGoesThroughItsRoutines)
{
    real = hostRoutines();
    sqlite3_api_routines copy = *real;
    copy.malloc = countedMalloc;
    copy.free = countedFree;
    copy.mprintf = countedMprintf;
    copy.vmprintf = countedVmprintf;
    const sqlite3_api_routines* before = std::exchange(sqlite3_api, nullptr);
    memory_module::setTable("/t", numbered(5));
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, &copy, memory_module::module(), "overlay"), SQLITE_OK);
    ASSERT_EQ(quillmere_register_undoredo_functions(db), SQLITE_OK);
    EXPECT_EQ(run("CREATE VIRTUAL TABLE m USING overlay"), "error 21: Missing filepath");
    EXPECT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); UPDATE t SET b = 'x' WHERE rowid = 2;"
                  "INSERT INTO t(rowid, a) VALUES (1, 0)"),
              "error 19: UNIQUE constraint failed: t.rowid");
    EXPECT_EQ(run("BEGIN; DELETE FROM t WHERE a > 3; SELECT ombrix_undo('nothing')"), "error 1: No such table ");
    EXPECT_EQ(run("ROLLBACK; SELECT ombrix_undo('t'); SELECT group_concat(b) FROM t WHERE rowid < 4"),
              "NULL 'r1,r2,r3'");
    close();
    sqlite3_api = before;
    EXPECT_GT(allocations, 10);
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(foreignFrees, 0);
}

} // namespace
