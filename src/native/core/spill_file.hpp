// A read-only memory mapping of a file written once from memory.
//
// The node store moves its oldest blocks to disk by writing their columns
// to one file per block and mapping that file back: the columns are then
// read through the mapping, and the operating system pages in only what a
// graph walk touches.  POSIX only.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace morvel::colstore {

struct Part {
    const void *data;
    size_t bytes;
};

inline size_t align8(size_t n) { return (n + 7) & ~size_t(7); }

class MappedFile {
public:
    MappedFile() = default;
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    MappedFile(MappedFile &&o) noexcept { swap(o); }
    MappedFile &operator=(MappedFile &&o) noexcept {
        MappedFile tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    ~MappedFile() { reset(); }

    // Write `parts` one after another, each starting at a multiple of 8
    // bytes, to a new file at `path`, then map the file.  `offsets`
    // receives where each part starts.  Throws std::runtime_error (and
    // leaves no file behind) when writing or mapping fails; the caller's
    // data is untouched either way.
    static MappedFile write(const std::string &path, const std::vector<Part> &parts,
                            std::vector<size_t> &offsets) {
        offsets.clear();
        size_t total = 0;
        for (const Part &p : parts) {
            offsets.push_back(total);
            total = align8(total + p.bytes);
        }
        if (total == 0) total = 8;
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) fail("cannot create spill file", path);
        MappedFile out;
        out.path_ = path;
        try {
            static const char zeros[8] = {0};
            size_t written = 0;
            for (size_t i = 0; i < parts.size(); ++i) {
                write_all(fd, parts[i].data, parts[i].bytes, path);
                written += parts[i].bytes;
                const size_t pad = align8(written) - written;
                write_all(fd, zeros, pad, path);
                written += pad;
            }
            if (written < total) write_all(fd, zeros, total - written, path);
            void *p = ::mmap(nullptr, total, PROT_READ, MAP_SHARED, fd, 0);
            if (p == MAP_FAILED) fail("cannot map spill file", path);
            ::madvise(p, total, MADV_RANDOM);  // walks touch single records
            out.data_ = static_cast<const uint8_t *>(p);
            out.bytes_ = total;
        } catch (...) {
            ::close(fd);
            ::unlink(path.c_str());
            out.path_.clear();
            throw;
        }
        ::close(fd);
        return out;
    }

    bool valid() const { return data_ != nullptr; }
    const uint8_t *data() const { return data_; }
    size_t bytes() const { return bytes_; }
    const std::string &path() const { return path_; }

    // Release the mapped pages and ask the kernel to drop the file from its
    // page cache, so the next read comes from the disk again.
    void drop_cache() const {
        if (!data_) return;
        ::madvise(const_cast<uint8_t *>(data_), bytes_, MADV_DONTNEED);
        int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fdatasync(fd);
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
    }

    // Unmap and delete the file.
    void reset() {
        if (data_) ::munmap(const_cast<uint8_t *>(data_), bytes_);
        if (!path_.empty()) ::unlink(path_.c_str());
        data_ = nullptr;
        bytes_ = 0;
        path_.clear();
    }

private:
    void swap(MappedFile &o) noexcept {
        std::swap(data_, o.data_);
        std::swap(bytes_, o.bytes_);
        std::swap(path_, o.path_);
    }

    static void write_all(int fd, const void *data, size_t n, const std::string &path) {
        const char *p = static_cast<const char *>(data);
        while (n > 0) {
            ssize_t k = ::write(fd, p, n);
            if (k < 0) {
                if (errno == EINTR) continue;
                fail("cannot write spill file", path);
            }
            p += k;
            n -= size_t(k);
        }
    }

    [[noreturn]] static void fail(const char *what, const std::string &path) {
        throw std::runtime_error(std::string(what) + " " + path + ": " + std::strerror(errno));
    }

    const uint8_t *data_ = nullptr;
    size_t bytes_ = 0;
    std::string path_;
};

}  // namespace morvel::colstore
