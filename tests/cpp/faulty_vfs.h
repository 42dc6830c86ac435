// FaultyVfs: an SQLite VFS for tests that forwards every call to the platform's default VFS and
// fails a chosen call on demand, as a full disk, a dying device or another lock holder would.
//
//   FaultyVfs& vfs = FaultyVfs::install();   // becomes the default VFS of the process
//   vfs.fail(FaultyVfs::Op::Sync);           // the next fsync reports an I/O error, once
//   vfs.fail(FaultyVfs::Op::Read, 10);       // the 11th read from now fails, once
//
// Faults fire once and disarm themselves, so that closing a handle afterwards (which checkpoints
// and syncs) runs clean. calls() counts every call of an operation since install, which lets a
// test aim a fault at a point found by a clean run.
//
// Thread safety: faults are armed and counted with atomics; arm them while no other thread is
// inside SQLite.
#pragma once

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <cstring>

namespace korvane_test {

class FaultyVfs {
 public:
  enum class Op { Read, Write, Sync, Lock, Truncate, Delete, kCount };

  static FaultyVfs& install() {
    static FaultyVfs* vfs = [] {
      auto* v = new FaultyVfs();
      sqlite3_vfs_register(&v->vfs_, /*makeDflt=*/1);
      return v;
    }();
    return *vfs;
  }

  // The call of op that follows `skip` successful ones fails, once.
  void fail(Op op, long skip = 0) { slot(op).countdown.store(skip + 1); }
  void disarm() {
    for (auto& s : slots_) s.countdown.store(0);
  }
  bool armed(Op op) { return slot(op).countdown.load() > 0; }
  long calls(Op op) { return slot(op).calls.load(); }

 private:
  struct Slot {
    std::atomic<long> countdown{0};
    std::atomic<long> calls{0};
  };
  // The wrapped file sits right after ours in the memory SQLite allocates for a file.
  struct File {
    sqlite3_file base;
    sqlite3_file* real;
  };

  FaultyVfs() {
    base_ = sqlite3_vfs_find(nullptr);
    vfs_ = *base_;
    vfs_.zName = "korvane-faulty";
    vfs_.pAppData = this;
    vfs_.pNext = nullptr;
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + base_->szOsFile;
    vfs_.xOpen = &FaultyVfs::open;
    vfs_.xDelete = &FaultyVfs::remove;
    vfs_.xAccess = [](sqlite3_vfs* v, const char* name, int flags, int* out) {
      return self(v)->base_->xAccess(self(v)->base_, name, flags, out);
    };
    vfs_.xFullPathname = [](sqlite3_vfs* v, const char* name, int n, char* out) {
      return self(v)->base_->xFullPathname(self(v)->base_, name, n, out);
    };
    vfs_.xDlOpen = [](sqlite3_vfs* v, const char* name) {
      return self(v)->base_->xDlOpen(self(v)->base_, name);
    };
    vfs_.xDlError = [](sqlite3_vfs* v, int n, char* out) {
      self(v)->base_->xDlError(self(v)->base_, n, out);
    };
    vfs_.xDlSym = [](sqlite3_vfs* v, void* h, const char* sym) {
      return self(v)->base_->xDlSym(self(v)->base_, h, sym);
    };
    vfs_.xDlClose = [](sqlite3_vfs* v, void* h) { self(v)->base_->xDlClose(self(v)->base_, h); };
    vfs_.xRandomness = [](sqlite3_vfs* v, int n, char* out) {
      return self(v)->base_->xRandomness(self(v)->base_, n, out);
    };
    vfs_.xSleep = [](sqlite3_vfs* v, int us) { return self(v)->base_->xSleep(self(v)->base_, us); };
    vfs_.xCurrentTime = [](sqlite3_vfs* v, double* out) {
      return self(v)->base_->xCurrentTime(self(v)->base_, out);
    };
    vfs_.xGetLastError = [](sqlite3_vfs* v, int n, char* out) {
      return self(v)->base_->xGetLastError(self(v)->base_, n, out);
    };
    vfs_.xCurrentTimeInt64 = [](sqlite3_vfs* v, sqlite3_int64* out) {
      return self(v)->base_->xCurrentTimeInt64(self(v)->base_, out);
    };
    // The system-call overrides are the unix VFS's own business; leave them out.
    vfs_.iVersion = 2;
    vfs_.xSetSystemCall = nullptr;
    vfs_.xGetSystemCall = nullptr;
    vfs_.xNextSystemCall = nullptr;

    methods_.iVersion = 3;
    methods_.xClose = [](sqlite3_file* f) {
      sqlite3_file* real = unwrap(f);
      int rc = real->pMethods ? real->pMethods->xClose(real) : SQLITE_OK;
      f->pMethods = nullptr;
      return rc;
    };
    methods_.xRead = [](sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
      if (instance().trip(Op::Read)) return SQLITE_IOERR_READ;
      return unwrap(f)->pMethods->xRead(unwrap(f), buf, n, off);
    };
    methods_.xWrite = [](sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
      if (instance().trip(Op::Write)) return SQLITE_IOERR_WRITE;
      return unwrap(f)->pMethods->xWrite(unwrap(f), buf, n, off);
    };
    methods_.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
      if (instance().trip(Op::Truncate)) return SQLITE_IOERR_TRUNCATE;
      return unwrap(f)->pMethods->xTruncate(unwrap(f), size);
    };
    methods_.xSync = [](sqlite3_file* f, int flags) {
      if (instance().trip(Op::Sync)) return SQLITE_IOERR_FSYNC;
      return unwrap(f)->pMethods->xSync(unwrap(f), flags);
    };
    methods_.xFileSize = [](sqlite3_file* f, sqlite3_int64* size) {
      return unwrap(f)->pMethods->xFileSize(unwrap(f), size);
    };
    methods_.xLock = [](sqlite3_file* f, int level) {
      if (instance().trip(Op::Lock)) return SQLITE_BUSY;
      return unwrap(f)->pMethods->xLock(unwrap(f), level);
    };
    methods_.xUnlock = [](sqlite3_file* f, int level) {
      return unwrap(f)->pMethods->xUnlock(unwrap(f), level);
    };
    methods_.xCheckReservedLock = [](sqlite3_file* f, int* out) {
      return unwrap(f)->pMethods->xCheckReservedLock(unwrap(f), out);
    };
    methods_.xFileControl = [](sqlite3_file* f, int op, void* arg) {
      return unwrap(f)->pMethods->xFileControl(unwrap(f), op, arg);
    };
    methods_.xSectorSize = [](sqlite3_file* f) { return unwrap(f)->pMethods->xSectorSize(unwrap(f)); };
    methods_.xDeviceCharacteristics = [](sqlite3_file* f) {
      return unwrap(f)->pMethods->xDeviceCharacteristics(unwrap(f));
    };
    methods_.xShmMap = [](sqlite3_file* f, int page, int size, int extend, void volatile** out) {
      return unwrap(f)->pMethods->xShmMap(unwrap(f), page, size, extend, out);
    };
    methods_.xShmLock = [](sqlite3_file* f, int offset, int n, int flags) {
      return unwrap(f)->pMethods->xShmLock(unwrap(f), offset, n, flags);
    };
    methods_.xShmBarrier = [](sqlite3_file* f) { unwrap(f)->pMethods->xShmBarrier(unwrap(f)); };
    methods_.xShmUnmap = [](sqlite3_file* f, int del) {
      return unwrap(f)->pMethods->xShmUnmap(unwrap(f), del);
    };
    methods_.xFetch = [](sqlite3_file* f, sqlite3_int64 off, int n, void** out) {
      return unwrap(f)->pMethods->xFetch(unwrap(f), off, n, out);
    };
    methods_.xUnfetch = [](sqlite3_file* f, sqlite3_int64 off, void* p) {
      return unwrap(f)->pMethods->xUnfetch(unwrap(f), off, p);
    };
  }

  static FaultyVfs& instance() { return install(); }
  static FaultyVfs* self(sqlite3_vfs* v) { return static_cast<FaultyVfs*>(v->pAppData); }
  static sqlite3_file* unwrap(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }

  Slot& slot(Op op) { return slots_[static_cast<std::size_t>(op)]; }

  // Counts the call and says whether it is the one to fail.
  bool trip(Op op) {
    Slot& s = slot(op);
    s.calls.fetch_add(1);
    long left = s.countdown.load();
    while (left > 0 && !s.countdown.compare_exchange_weak(left, left - 1)) {
    }
    return left == 1;
  }

  static int open(sqlite3_vfs* v, const char* name, sqlite3_file* f, int flags, int* out_flags) {
    FaultyVfs* vfs = self(v);
    auto* file = reinterpret_cast<File*>(f);
    file->real = reinterpret_cast<sqlite3_file*>(file + 1);
    std::memset(file->real, 0, static_cast<std::size_t>(vfs->base_->szOsFile));
    int rc = vfs->base_->xOpen(vfs->base_, name, file->real, flags, out_flags);
    file->base.pMethods = file->real->pMethods ? &vfs->methods_ : nullptr;
    return rc;
  }

  static int remove(sqlite3_vfs* v, const char* name, int sync_dir) {
    if (self(v)->trip(Op::Delete)) return SQLITE_IOERR_DELETE;
    return self(v)->base_->xDelete(self(v)->base_, name, sync_dir);
  }

  sqlite3_vfs* base_;
  sqlite3_vfs vfs_;
  sqlite3_io_methods methods_{};
  std::array<Slot, static_cast<std::size_t>(Op::kCount)> slots_;
};

}  // namespace korvane_test
