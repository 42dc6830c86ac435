// CrashVfs: an SQLite VFS for tests that simulates losing power.
//
// It forwards every call to the platform's VFS, so files are real and reads see every write,
// but it remembers, per file, what was written since that file's last sync: the bytes each
// touched 512-byte chunk held at the sync, and the ranges written since. Syncs themselves are
// not forwarded; durability is what this class models, not what the disk does.
//
//   CrashVfs& vfs = CrashVfs::install();  // becomes the default VFS of the process
//   vfs.crash_at(40);     // the 40th write, sync or truncate from now fails, and so does every
//                         // write after it: the machine is off
//   ... the store fails a write; destroy it (its close can change nothing any more) ...
//   vfs.recover(rng);     // now the disk comes back: per file, everything written since its
//                         // last sync is kept, or all of it lost, or each 512-byte chunk on its
//                         // own keeps the new bytes, gets the old ones back, or gets noise where
//                         // it was written (a torn write); a file that grew may lose its tail,
//                         // one that shrank may get it back
//
// Deleting a file counts as durable at once. Files SQLite opens without a name (temporary
// files) are not tracked. Faults are set up while no other thread is inside SQLite.
#pragma once

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace korvane_test {

class CrashVfs {
 public:
  static constexpr sqlite3_int64 kChunk = 512;

  static CrashVfs& install() {
    static CrashVfs* vfs = [] {
      auto* v = new CrashVfs();
      sqlite3_vfs_register(&v->vfs_, /*makeDflt=*/1);
      return v;
    }();
    return *vfs;
  }

  // The n-th event (write, sync or truncate) from now, n >= 1, cuts the power.
  void crash_at(long n) { countdown_ = n; }
  bool crashed() const { return crashed_; }
  // Events seen since the last recover() or reset_count().
  long events() const { return events_; }
  void reset_count() { events_ = 0; }

  // Brings the files back as a disk would after the power loss, then runs normally again.
  void recover(std::mt19937& rng) {
    for (auto& [path, file] : files_) recover_file(path, file, rng);
    files_.clear();
    crashed_ = false;
    countdown_ = 0;
    events_ = 0;
  }

 private:
  struct Tracked {
    sqlite3_int64 synced_size = 0;
    std::map<sqlite3_int64, std::string> old_chunks;  // chunk index -> bytes at the last sync
    std::vector<std::pair<sqlite3_int64, sqlite3_int64>> written;  // [begin, end) since then
  };
  struct File {
    sqlite3_file base;
    sqlite3_file* real;
    Tracked* tracked;  // null for unnamed files
  };

  CrashVfs() {
    base_ = sqlite3_vfs_find(nullptr);
    vfs_ = *base_;
    vfs_.zName = "korvane-crash";
    vfs_.pAppData = this;
    vfs_.pNext = nullptr;
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + base_->szOsFile;
    vfs_.iVersion = 2;
    vfs_.xSetSystemCall = nullptr;
    vfs_.xGetSystemCall = nullptr;
    vfs_.xNextSystemCall = nullptr;
    vfs_.xOpen = &CrashVfs::open;
    vfs_.xDelete = [](sqlite3_vfs* v, const char* name, int sync_dir) {
      CrashVfs* self = of(v);
      if (self->crashed_) return SQLITE_IOERR_DELETE;
      // Kept in place: a handle may still point at it. A file made again starts empty.
      auto it = self->files_.find(name);
      if (it != self->files_.end()) it->second = Tracked{};
      return self->base_->xDelete(self->base_, name, sync_dir);
    };
    // The rest of the VFS is the base's, called with the base.
    vfs_.xAccess = [](sqlite3_vfs* v, const char* n, int f, int* o) { return of(v)->base_->xAccess(of(v)->base_, n, f, o); };
    vfs_.xFullPathname = [](sqlite3_vfs* v, const char* n, int s, char* o) { return of(v)->base_->xFullPathname(of(v)->base_, n, s, o); };
    vfs_.xDlOpen = [](sqlite3_vfs* v, const char* n) { return of(v)->base_->xDlOpen(of(v)->base_, n); };
    vfs_.xDlError = [](sqlite3_vfs* v, int n, char* o) { of(v)->base_->xDlError(of(v)->base_, n, o); };
    vfs_.xDlSym = [](sqlite3_vfs* v, void* h, const char* s) { return of(v)->base_->xDlSym(of(v)->base_, h, s); };
    vfs_.xDlClose = [](sqlite3_vfs* v, void* h) { of(v)->base_->xDlClose(of(v)->base_, h); };
    vfs_.xRandomness = [](sqlite3_vfs* v, int n, char* o) { return of(v)->base_->xRandomness(of(v)->base_, n, o); };
    vfs_.xSleep = [](sqlite3_vfs* v, int us) { return of(v)->base_->xSleep(of(v)->base_, us); };
    vfs_.xCurrentTime = [](sqlite3_vfs* v, double* o) { return of(v)->base_->xCurrentTime(of(v)->base_, o); };
    vfs_.xGetLastError = [](sqlite3_vfs* v, int n, char* o) { return of(v)->base_->xGetLastError(of(v)->base_, n, o); };
    vfs_.xCurrentTimeInt64 = [](sqlite3_vfs* v, sqlite3_int64* o) { return of(v)->base_->xCurrentTimeInt64(of(v)->base_, o); };

    // Version 1 methods: no shared memory and no memory mapping. The store runs WAL in
    // exclusive locking mode, which needs neither.
    methods_.iVersion = 1;
    methods_.xClose = [](sqlite3_file* f) {
      sqlite3_file* r = real(f);
      int rc = r->pMethods ? r->pMethods->xClose(r) : SQLITE_OK;
      f->pMethods = nullptr;
      return rc;
    };
    methods_.xRead = [](sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
      return real(f)->pMethods->xRead(real(f), buf, n, off);
    };
    methods_.xWrite = [](sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
      CrashVfs& self = install();
      if (!self.event()) return SQLITE_IOERR_WRITE;
      if (Tracked* t = tracked(f)) self.remember(f, *t, off, off + n);
      return real(f)->pMethods->xWrite(real(f), buf, n, off);
    };
    methods_.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
      CrashVfs& self = install();
      if (!self.event()) return SQLITE_IOERR_TRUNCATE;
      if (Tracked* t = tracked(f)) {
        sqlite3_int64 now = 0;
        real(f)->pMethods->xFileSize(real(f), &now);
        if (size < now) self.remember(f, *t, size, now);
      }
      return real(f)->pMethods->xTruncate(real(f), size);
    };
    methods_.xSync = [](sqlite3_file* f, int) {
      CrashVfs& self = install();
      if (!self.event()) return SQLITE_IOERR_FSYNC;
      if (Tracked* t = tracked(f)) {
        real(f)->pMethods->xFileSize(real(f), &t->synced_size);
        t->old_chunks.clear();
        t->written.clear();
      }
      return SQLITE_OK;
    };
    methods_.xFileSize = [](sqlite3_file* f, sqlite3_int64* size) {
      return real(f)->pMethods->xFileSize(real(f), size);
    };
    methods_.xLock = [](sqlite3_file* f, int level) { return real(f)->pMethods->xLock(real(f), level); };
    methods_.xUnlock = [](sqlite3_file* f, int level) { return real(f)->pMethods->xUnlock(real(f), level); };
    methods_.xCheckReservedLock = [](sqlite3_file* f, int* out) {
      return real(f)->pMethods->xCheckReservedLock(real(f), out);
    };
    methods_.xFileControl = [](sqlite3_file* f, int op, void* arg) {
      return real(f)->pMethods->xFileControl(real(f), op, arg);
    };
    methods_.xSectorSize = [](sqlite3_file* f) { return real(f)->pMethods->xSectorSize(real(f)); };
    methods_.xDeviceCharacteristics = [](sqlite3_file* f) {
      return real(f)->pMethods->xDeviceCharacteristics(real(f));
    };
  }

  static CrashVfs* of(sqlite3_vfs* v) { return static_cast<CrashVfs*>(v->pAppData); }
  static sqlite3_file* real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }
  static Tracked* tracked(sqlite3_file* f) { return reinterpret_cast<File*>(f)->tracked; }

  static int open(sqlite3_vfs* v, const char* name, sqlite3_file* f, int flags, int* out_flags) {
    CrashVfs* self = of(v);
    auto* file = reinterpret_cast<File*>(f);
    file->real = reinterpret_cast<sqlite3_file*>(file + 1);
    file->tracked = nullptr;
    std::memset(file->real, 0, static_cast<std::size_t>(self->base_->szOsFile));
    int rc = self->base_->xOpen(self->base_, name, file->real, flags, out_flags);
    file->base.pMethods = file->real->pMethods ? &self->methods_ : nullptr;
    if (rc == SQLITE_OK && name != nullptr) {
      auto [it, added] = self->files_.try_emplace(name);
      if (added) file->real->pMethods->xFileSize(file->real, &it->second.synced_size);
      file->tracked = &it->second;
    }
    return rc;
  }

  // Counts an event; false once the power is off.
  bool event() {
    ++events_;
    if (crashed_) return false;
    if (countdown_ > 0 && --countdown_ == 0) crashed_ = true;
    return !crashed_;
  }

  // Keeps the synced bytes of every chunk in [begin, end) before they are overwritten.
  void remember(sqlite3_file* f, Tracked& t, sqlite3_int64 begin, sqlite3_int64 end) {
    t.written.emplace_back(begin, end);
    for (sqlite3_int64 c = begin / kChunk; c * kChunk < end; ++c) {
      if (c * kChunk >= t.synced_size || t.old_chunks.count(c)) continue;
      const sqlite3_int64 n = std::min(kChunk, t.synced_size - c * kChunk);
      std::string bytes(static_cast<std::size_t>(n), '\0');
      real(f)->pMethods->xRead(real(f), bytes.data(), static_cast<int>(n), c * kChunk);
      t.old_chunks.emplace(c, std::move(bytes));
    }
  }

  static void recover_file(const std::string& path, Tracked& t, std::mt19937& rng) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;  // deleted since
    const sqlite3_int64 now = ::lseek(fd, 0, SEEK_END);
    // Sometimes the disk wrote everything before the power went, sometimes nothing, and
    // otherwise each chunk on its own.
    const unsigned mode = rng() % 3;
    // The size: a grown file may lose what it grew by; a shrunk one may come back.
    sqlite3_int64 size = now;
    if (now != t.synced_size && (mode == 1 || (mode == 2 && rng() % 2 == 0))) {
      size = t.synced_size;
    }
    if (size != now && ::ftruncate(fd, size) != 0) size = now;
    // Every written chunk within the size: new bytes, old bytes, or noise where it was written.
    std::vector<sqlite3_int64> chunks;
    for (const auto& [begin, end] : t.written) {
      for (sqlite3_int64 c = begin / kChunk; c * kChunk < end; ++c) chunks.push_back(c);
    }
    std::sort(chunks.begin(), chunks.end());
    chunks.erase(std::unique(chunks.begin(), chunks.end()), chunks.end());
    for (sqlite3_int64 c : chunks) {
      const sqlite3_int64 at = c * kChunk;
      if (at >= size) break;
      // A truncation that did not last gives back the bytes it cut off.
      switch (at >= now ? 1 : mode < 2 ? mode : rng() % 3) {
        case 0:
          break;
        case 1: {
          auto old = t.old_chunks.find(c);
          std::string bytes = old != t.old_chunks.end() ? old->second : std::string();
          // Past the synced end there were no bytes; the disk shows zeros there.
          bytes.resize(static_cast<std::size_t>(std::min(kChunk, size - at)), '\0');
          write_at(fd, bytes, at);
          break;
        }
        default:
          for (const auto& [begin, end] : t.written) {
            const sqlite3_int64 b = std::max(begin, at), e = std::min({end, at + kChunk, size});
            if (b >= e) continue;
            std::string noise(static_cast<std::size_t>(e - b), '\0');
            for (char& ch : noise) ch = static_cast<char>(rng());
            write_at(fd, noise, b);
          }
      }
    }
    ::close(fd);
  }

  static void write_at(int fd, const std::string& bytes, sqlite3_int64 at) {
    if (::pwrite(fd, bytes.data(), bytes.size(), at) != static_cast<ssize_t>(bytes.size())) {
      std::abort();  // the simulation itself failed; no result would mean anything
    }
  }

  sqlite3_vfs* base_;
  sqlite3_vfs vfs_;
  sqlite3_io_methods methods_{};
  std::map<std::string, Tracked> files_;
  long countdown_ = 0;
  long events_ = 0;
  bool crashed_ = false;
};

}  // namespace korvane_test
