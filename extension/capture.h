// The routines table that quillmere_load hands to the extensions it loads:
// SQLite's own, except that module registrations and, on demand, schemas are recorded.
#pragma once

#include <sqlite3ext.h>

#include <set>
#include <string>
#include <vector>

struct CapturedModule {
    std::string name;
    const sqlite3_module* module;
    void* clientData;
    void (*destroy)(void*);
};

// While one lives, the modules registered on db from this thread are recorded
// (after SQLite has accepted them), in order, a later one of the same name
// replacing an earlier one. A registration under a name in refusedNames (lower
// case) is refused instead: it would destroy client data an overlay still uses.
class ModuleCapture {
public:
    ModuleCapture(sqlite3* db, const std::set<std::string>& refusedNames);
    ~ModuleCapture();
    ModuleCapture(const ModuleCapture&) = delete;
    ModuleCapture& operator=(const ModuleCapture&) = delete;

    const std::vector<CapturedModule>& modules() const { return modules_; }
    // The first name refused, or empty.
    const std::string& refusedName() const { return refusedName_; }

    bool admits(sqlite3* db, const char* name);
    void record(sqlite3* db, const char* name, const sqlite3_module* module, void* clientData, void (*destroy)(void*));

private:
    sqlite3* db_;
    const std::set<std::string>& refusedNames_;
    std::vector<CapturedModule> modules_;
    std::string refusedName_;
    ModuleCapture* outer_;
};

// While one lives, a table schema an extension loaded through the capturing
// routines declares from this thread is recorded instead of reaching SQLite:
// its xConnect may then open a table again outside SQLite's own CREATE or
// connect, which alone may declare one.
class DeclarationCapture {
public:
    DeclarationCapture();
    ~DeclarationCapture();
    DeclarationCapture(const DeclarationCapture&) = delete;
    DeclarationCapture& operator=(const DeclarationCapture&) = delete;

    // The schema declared last, empty while none was.
    const std::string& schema() const { return schema_; }
    void record(const char* schema) { schema_ = schema ? schema : ""; }

private:
    std::string schema_;
    DeclarationCapture* outer_;
};

// Module names compare as SQLite compares them: ASCII letters without case.
std::string foldedModuleName(const std::string& name);

// Made from the host's table on first use, and never freed: loaded extensions
// keep the pointer for as long as the process runs.
const sqlite3_api_routines* capturingRoutines();
