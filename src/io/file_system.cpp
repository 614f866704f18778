#include "io/file_system.hpp"

#include <array>

namespace corvane::io {
namespace {

enum class Kind { Network, Local };

struct Known {
    unsigned long magic;
    Kind kind;
};

constexpr std::array<Known, 21> kKnown{{
    {0x6969, Kind::Network},     // nfs
    {0x517B, Kind::Network},     // smb
    {0xFF534D42, Kind::Network}, // cifs
    {0xFE534D42, Kind::Network}, // smb2
    {0x00C36400, Kind::Network}, // ceph
    {0x5346414F, Kind::Network}, // afs
    {0x6B414653, Kind::Network}, // kafs
    {0x01021997, Kind::Network}, // 9p
    {0x65735546, Kind::Network}, // fuse (sshfs and the like)
    {0x0BD00BD0, Kind::Network}, // lustre
    {0x01161970, Kind::Network}, // gfs2
    {0xEF53, Kind::Local},       // ext2, ext3, ext4
    {0x58465342, Kind::Local},   // xfs
    {0x9123683E, Kind::Local},   // btrfs
    {0x01021994, Kind::Local},   // tmpfs
    {0x858458F6, Kind::Local},   // ramfs
    {0xF2F52010, Kind::Local},   // f2fs
    {0x794C7630, Kind::Local},   // overlayfs
    {0x2FC12FC1, Kind::Local},   // zfs
    {0xCA451A4E, Kind::Local},   // bcachefs
    {0x3153464A, Kind::Local},   // jfs
}};

} // namespace

FileSystem file_system_of(unsigned long magic) {
    for (const Known &known : kKnown)
        if (known.magic == magic)
            return {known.kind == Kind::Network, known.kind == Kind::Local};
    return {};
}

} // namespace corvane::io
