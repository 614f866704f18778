#pragma once

#include <chrono>
#include <string_view>

namespace corvane::io {

// An exclusive advisory lock (flock) on the file a manifest path names, held
// while the manifest is read, changed and replaced, so that writers in other
// processes do not overwrite each other's additions. Readers take no lock:
// the replace is atomic.
//
// Taking the lock never fails the operation: when the file cannot be opened
// or the lock is not free within `patience`, the writer goes on unlocked, as
// it would with no other writer around.
class ManifestLock {
  public:
    static constexpr std::chrono::milliseconds kPatience{5000};

    static ManifestLock acquire(std::string_view path,
                                std::chrono::milliseconds patience = kPatience);

    ManifestLock(ManifestLock &&other) noexcept : fd_(other.fd_), contended_(other.contended_) {
        other.fd_ = -1;
    }
    ManifestLock &operator=(ManifestLock &&other) noexcept;
    ManifestLock(const ManifestLock &) = delete;
    ManifestLock &operator=(const ManifestLock &) = delete;
    ~ManifestLock();

    bool held() const { return fd_ >= 0; }

  private:
    explicit ManifestLock(int fd, bool contended = false) : fd_(fd), contended_(contended) {}
    void release();

    int fd_ = -1;
    bool contended_ = false; // other writers were seen waiting for this manifest
};

} // namespace corvane::io
