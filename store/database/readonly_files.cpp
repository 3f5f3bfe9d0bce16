#include "readonly_files.h"

#include "folder_files.h"

#include <cstddef>
#include <cstring>

#include <unistd.h>

namespace store::readonly {
namespace {

struct ShimFile {
    sqlite3_file base;
    sqlite3_file* real;  // the underlying VFS's file, or nullptr for a missing log
    bool noIndex;        // the index could not be opened: SQLite keeps it in memory
};

sqlite3_vfs g_vfs{};
sqlite3_vfs* Base() {
    return static_cast<sqlite3_vfs*>(g_vfs.pAppData);
}
sqlite3_file* Real(sqlite3_file* f) {
    return reinterpret_cast<ShimFile*>(f)->real;
}

int MissingLogRead(sqlite3_file*, void* p, int n, sqlite3_int64) {
    std::memset(p, 0, static_cast<size_t>(n));
    return SQLITE_IOERR_SHORT_READ;
}

const sqlite3_io_methods kMissingLog = {
    1,
    [](sqlite3_file*) { return SQLITE_OK; },
    MissingLogRead,
    [](sqlite3_file*, const void*, int, sqlite3_int64) { return SQLITE_READONLY; },
    [](sqlite3_file*, sqlite3_int64) { return SQLITE_READONLY; },
    [](sqlite3_file*, int) { return SQLITE_OK; },
    [](sqlite3_file*, sqlite3_int64* n) {
        *n = 0;
        return SQLITE_OK;
    },
    [](sqlite3_file*, int) { return SQLITE_OK; },
    [](sqlite3_file*, int) { return SQLITE_OK; },
    [](sqlite3_file*, int* r) {
        *r = 0;
        return SQLITE_OK;
    },
    [](sqlite3_file*, int, void*) { return SQLITE_NOTFOUND; },
    [](sqlite3_file*) { return 4096; },
    [](sqlite3_file*) { return 0; },
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** p) {
    auto* file = reinterpret_cast<ShimFile*>(f);
    if (!file->noIndex) {
        const int rc = file->real->pMethods->xShmMap(file->real, page, size, extend, p);
        if ((rc & 0xFF) != SQLITE_CANTOPEN) return rc;
        file->noIndex = true;
    }
    *p = nullptr;
    return SQLITE_READONLY_CANTINIT;  // SQLite then builds the index in memory
}

int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    auto* file = reinterpret_cast<ShimFile*>(f);
    return file->noIndex ? SQLITE_OK : file->real->pMethods->xShmLock(file->real, offset, n, flags);
}

const sqlite3_io_methods kMethods = {
    3,
    [](sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); },
    [](sqlite3_file* f, void* p, int n, sqlite3_int64 o) { return Real(f)->pMethods->xRead(Real(f), p, n, o); },
    [](sqlite3_file* f, const void* p, int n, sqlite3_int64 o) { return Real(f)->pMethods->xWrite(Real(f), p, n, o); },
    [](sqlite3_file* f, sqlite3_int64 n) { return Real(f)->pMethods->xTruncate(Real(f), n); },
    [](sqlite3_file* f, int flags) { return Real(f)->pMethods->xSync(Real(f), flags); },
    [](sqlite3_file* f, sqlite3_int64* n) { return Real(f)->pMethods->xFileSize(Real(f), n); },
    [](sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); },
    [](sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); },
    [](sqlite3_file* f, int* r) { return Real(f)->pMethods->xCheckReservedLock(Real(f), r); },
    [](sqlite3_file* f, int op, void* a) { return Real(f)->pMethods->xFileControl(Real(f), op, a); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); },
    ShmMap,
    ShmLock,
    [](sqlite3_file* f) {
        if (!reinterpret_cast<ShimFile*>(f)->noIndex) Real(f)->pMethods->xShmBarrier(Real(f));
    },
    [](sqlite3_file* f, int d) {
        return reinterpret_cast<ShimFile*>(f)->noIndex ? SQLITE_OK : Real(f)->pMethods->xShmUnmap(Real(f), d);
    },
    [](sqlite3_file* f, sqlite3_int64 o, int n, void** p) { return Real(f)->pMethods->xFetch(Real(f), o, n, p); },
    [](sqlite3_file* f, sqlite3_int64 o, void* p) { return Real(f)->pMethods->xUnfetch(Real(f), o, p); },
};

sqlite3_vfs g_private{};  // the same, with an index of its own whether or not one exists

int Open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    auto* file = reinterpret_cast<ShimFile*>(f);
    file->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) + g_vfs.szOsFile - Base()->szOsFile);
    file->noIndex = vfs == &g_private && (flags & SQLITE_OPEN_MAIN_DB) != 0;
    file->base.pMethods = nullptr;
    int rc = Base()->xOpen(Base(), name, file->real, flags, outFlags);
    if (rc == SQLITE_OK) {
        file->base.pMethods =
            file->real->pMethods != nullptr && file->real->pMethods->iVersion >= 3 ? &kMethods : nullptr;
        if (file->base.pMethods == nullptr) {
            if (file->real->pMethods != nullptr) file->real->pMethods->xClose(file->real);
            return SQLITE_CANTOPEN;
        }
    } else if ((flags & SQLITE_OPEN_WAL) != 0 && name != nullptr && access(name, F_OK) != 0) {
        file->real = nullptr;
        file->base.pMethods = &kMissingLog;
        if (outFlags != nullptr)
            *outFlags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
        rc = SQLITE_OK;
    }
    return rc;
}

}  // namespace

const char* Use(bool privateIndex) {
    sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
    if (g_vfs.zName == nullptr) {
        g_vfs.iVersion = 1;
        g_vfs.zName = "versioninfo-readonly";
        g_vfs.xOpen = Open;
        g_vfs.xDelete = [](sqlite3_vfs*, const char* p, int d) { return Base()->xDelete(Base(), p, d); };
        g_vfs.xAccess = [](sqlite3_vfs*, const char* p, int f, int* r) { return Base()->xAccess(Base(), p, f, r); };
        g_vfs.xFullPathname = [](sqlite3_vfs*, const char* p, int n, char* out) {
            if (!IsInFolder(p)) return Base()->xFullPathname(Base(), p, n, out);
            if (std::strlen(p) + 1 > static_cast<size_t>(n)) return SQLITE_CANTOPEN;
            std::memcpy(out, p, std::strlen(p) + 1);  // kept whole: see folder_files.h
            return SQLITE_OK;
        };
        g_vfs.xDlOpen = [](sqlite3_vfs*, const char* p) { return Base()->xDlOpen(Base(), p); };
        g_vfs.xDlError = [](sqlite3_vfs*, int n, char* m) { Base()->xDlError(Base(), n, m); };
        g_vfs.xDlSym = [](sqlite3_vfs*, void* h, const char* s) { return Base()->xDlSym(Base(), h, s); };
        g_vfs.xDlClose = [](sqlite3_vfs*, void* h) { Base()->xDlClose(Base(), h); };
        g_vfs.xRandomness = [](sqlite3_vfs*, int n, char* out) { return Base()->xRandomness(Base(), n, out); };
        g_vfs.xSleep = [](sqlite3_vfs*, int us) { return Base()->xSleep(Base(), us); };
        g_vfs.xCurrentTime = [](sqlite3_vfs*, double* t) { return Base()->xCurrentTime(Base(), t); };
        g_vfs.xGetLastError = [](sqlite3_vfs*, int n, char* m) { return Base()->xGetLastError(Base(), n, m); };
    }
    if (base != &g_vfs && g_vfs.pAppData != base) {
        g_vfs.pAppData = base;
        g_vfs.mxPathname = base->mxPathname;
        g_vfs.szOsFile = static_cast<int>((sizeof(ShimFile) + 15) / 16 * 16) + base->szOsFile;
        sqlite3_vfs_register(&g_vfs, 0);
        g_private = g_vfs;
        g_private.zName = "versioninfo-private-index";
        sqlite3_vfs_register(&g_private, 0);
    }
    return privateIndex ? g_private.zName : g_vfs.zName;
}

}  // namespace store::readonly
