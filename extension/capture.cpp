// The capturing copy of SQLite's routines table, and the per-thread records of
// the modules an extension registers and the schemas it declares.
#include "extension/capture.h"

#include <dlfcn.h>

#include <mutex>

SQLITE_EXTENSION_INIT3

namespace {

thread_local ModuleCapture* activeCapture = nullptr;
thread_local DeclarationCapture* activeDeclaration = nullptr;
// The table the copy was made from. Registrations go on to it, never through
// sqlite3_api, which holds whichever table the first load handed over.
const sqlite3_api_routines* hostRoutines = nullptr;

int createModule(sqlite3* db, const char* name, const sqlite3_module* module, void* clientData)
{
    ModuleCapture* capture = activeCapture;
    if (capture && !capture->admits(db, name))
        return SQLITE_ERROR;
    const int rc = hostRoutines->create_module(db, name, module, clientData);
    if (capture && rc == SQLITE_OK)
        capture->record(db, name, module, clientData, nullptr);
    return rc;
}

int createModuleV2(sqlite3* db, const char* name, const sqlite3_module* module, void* clientData,
                   void (*destroy)(void*))
{
    ModuleCapture* capture = activeCapture;
    if (capture && !capture->admits(db, name)) {
        // As SQLite does for a registration that fails.
        if (destroy)
            destroy(clientData);
        return SQLITE_ERROR;
    }
    const int rc = hostRoutines->create_module_v2(db, name, module, clientData, destroy);
    if (capture && rc == SQLITE_OK)
        capture->record(db, name, module, clientData, destroy);
    return rc;
}

int declareTable(sqlite3* db, const char* schema)
{
    if (DeclarationCapture* capture = activeDeclaration) {
        capture->record(schema);
        return SQLITE_OK;
    }
    return hostRoutines->declare_vtab(db, schema);
}

sqlite3_api_routines capturingTable;
std::once_flag capturingTableMade;

} // namespace

std::string foldedModuleName(const std::string& name)
{
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

ModuleCapture::ModuleCapture(sqlite3* db, const std::set<std::string>& refusedNames)
    : db_(db), refusedNames_(refusedNames), outer_(activeCapture)
{
    activeCapture = this;
}

ModuleCapture::~ModuleCapture()
{
    activeCapture = outer_;
}

DeclarationCapture::DeclarationCapture() : outer_(activeDeclaration)
{
    activeDeclaration = this;
}

DeclarationCapture::~DeclarationCapture()
{
    activeDeclaration = outer_;
}

bool ModuleCapture::admits(sqlite3* db, const char* name)
{
    if (db != db_ || !name || !refusedNames_.count(foldedModuleName(name)))
        return true;
    if (refusedName_.empty())
        refusedName_ = name;
    return false;
}

void ModuleCapture::record(sqlite3* db, const char* name, const sqlite3_module* module, void* clientData,
                           void (*destroy)(void*))
{
    if (db != db_ || !name)
        return;
    const std::string folded = foldedModuleName(name);
    for (auto it = modules_.begin(); it != modules_.end(); ++it) {
        if (foldedModuleName(it->name) == folded) {
            modules_.erase(it);
            break;
        }
    }
    // A null module removes the name.
    if (module)
        modules_.push_back({name, module, clientData, destroy});
}

const sqlite3_api_routines* capturingRoutines()
{
    std::call_once(capturingTableMade, [] {
        hostRoutines = sqlite3_api;
        capturingTable = *hostRoutines;
        capturingTable.create_module = createModule;
        capturingTable.create_module_v2 = createModuleV2;
        capturingTable.declare_vtab = declareTable;
        // Extensions keep this table, and it points into this file: once it
        // is handed out, this library stays loaded until the process ends.
        Dl_info self;
        if (dladdr(&capturingTable, &self) && self.dli_fname)
            dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    });
    return &capturingTable;
}
