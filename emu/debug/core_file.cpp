#include "core_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernel.hpp"

namespace nuv {
namespace {

constexpr uint32_t kPage = kPageSize;

// The i386 layouts of the notes, as Linux writes them.
struct Prstatus {
    int32_t si_signo, si_code, si_errno;
    int16_t cursig, pad;
    uint32_t sigpend, sighold;
    int32_t pid, ppid, pgrp, sid;
    int32_t times[8];  // user, system, children's user and system: seconds, microseconds
    // ebx ecx edx esi edi ebp eax ds es fs gs orig_eax eip cs eflags esp ss
    uint32_t regs[17];
    int32_t fpvalid;
};
static_assert(sizeof(Prstatus) == 144);

struct Prpsinfo {
    char state, sname, zomb, nice;
    uint32_t flag;
    uint16_t uid, gid;
    int32_t pid, ppid, pgrp, sid;
    char fname[16];
    char psargs[80];
};
static_assert(sizeof(Prpsinfo) == 124);

struct Ehdr {
    uint8_t ident[16];
    uint16_t type, machine;
    uint32_t version, entry, phoff, shoff, flags;
    uint16_t ehsize, phentsize, phnum, shentsize, shnum, shstrndx;
};
static_assert(sizeof(Ehdr) == 52);

struct Phdr {
    uint32_t type, offset, vaddr, paddr, filesz, memsz, flags, align;
};
static_assert(sizeof(Phdr) == 32);

constexpr uint32_t kPtLoad = 1, kPtNote = 4;
constexpr uint32_t kNtPrstatus = 1, kNtPrpsinfo = 3, kNtSiginfo = 0x53494749;

void add_note(std::vector<uint8_t>& out, uint32_t type, const void* desc, uint32_t size) {
    const char name[8] = "CORE";  // "CORE\0", padded to 4 bytes
    uint32_t head[3] = {5, size, type};
    const auto* h = reinterpret_cast<const uint8_t*>(head);
    out.insert(out.end(), h, h + sizeof head);
    out.insert(out.end(), name, name + 8);
    const auto* d = static_cast<const uint8_t*>(desc);
    out.insert(out.end(), d, d + size);
    out.resize((out.size() + 3) & ~size_t{3}, 0);
}

bool write_all(int fd, const void* data, size_t n, off_t at) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        ssize_t w = pwrite(fd, p, n, at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
        at += w;
    }
    return true;
}

}  // namespace

FaultSignal fault_signal(const GuestFault& f) {
    switch (f.kind) {
        case FaultKind::Unmapped:
            return {SIGSEGV, SEGV_MAPERR, f.address};
        case FaultKind::Protection:
            return {SIGSEGV, SEGV_ACCERR, f.address};
        case FaultKind::Bus:
            return {SIGBUS, BUS_ADRERR, f.address};
        case FaultKind::Invalid:
            return {SIGILL, ILL_ILLOPN, f.eip};
        case FaultKind::DivideError:
            return {SIGFPE, FPE_INTDIV, f.eip};
        case FaultKind::FloatingPoint:
            return {SIGFPE, FPE_FLTINV, f.eip};
        case FaultKind::Breakpoint:
            return {SIGTRAP, f.vector == 1 ? TRAP_TRACE : TRAP_BRKPT, f.eip};
        case FaultKind::Killed:
            return {SIGKILL, SI_USER, 0};
        case FaultKind::None:
        case FaultKind::Privileged:
        case FaultKind::Halt:
        case FaultKind::Interrupt:
        case FaultKind::SystemCall:
        case FaultKind::RefusedCall:
        case FaultKind::Emulator:
            break;
    }
    // The processor's general protection fault, as Linux passes it on.
    return {SIGSEGV, SI_KERNEL, 0};
}

std::array<int32_t, 32> siginfo(const FaultSignal& s) {
    return {s.signo, 0, s.code, static_cast<int32_t>(s.address)};
}

Status open_core_dir(const std::string& path, CoreDir& out) {
    size_t slash = path.rfind('/');
    out.dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    out.name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (out.name.empty() || out.name == "." || out.name == "..") {
        return Error{HostError::Io, path + " names no file"};
    }
    out.fd = open(out.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (out.fd < 0) {
        return Error{HostError::Io, "cannot use " + out.dir + ": " + std::strerror(errno)};
    }
    return Done{};
}

Status write_core(Task& m, const CoreDir& where, const std::string& file, const FaultSignal& signal,
                  const std::string& name, uint64_t budget, uint64_t& written) {
    const std::string path = where.dir + "/" + file;
    std::vector<GuestMemory::Region> regions = m.memory().regions();
    std::sort(regions.begin(), regions.end(),
              [](const GuestMemory::Region& a, const GuestMemory::Region& b) {
                  return a.begin < b.begin;
              });

    Registers r = m.engine().registers();
    Prstatus st{};
    st.si_signo = signal.signo;
    st.si_code = signal.code;
    st.cursig = static_cast<int16_t>(signal.signo);
    st.pid = st.pgrp = st.sid = m.pid();
    const uint32_t regs[17] = {r.ebx, r.ecx, r.edx, r.esi, r.edi, r.ebp,    r.eax, 0x2b, 0x2b,
                               0,     0,     ~0u,   r.eip, 0x23,  r.eflags, r.esp, 0x2b};
    std::memcpy(st.regs, regs, sizeof regs);
    Prpsinfo ps{};
    ps.state = 0;
    ps.sname = 'R';
    ps.pid = ps.pgrp = ps.sid = m.pid();
    std::string base = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    std::strncpy(ps.fname, base.c_str(), sizeof ps.fname - 1);
    std::strncpy(ps.psargs, name.c_str(), sizeof ps.psargs - 1);
    std::vector<uint8_t> notes;
    const std::array<int32_t, 32> info = siginfo(signal);
    add_note(notes, kNtPrstatus, &st, sizeof st);
    add_note(notes, kNtPrpsinfo, &ps, sizeof ps);
    add_note(notes, kNtSiginfo, info.data(), sizeof info);

    // The header, the program headers and the notes, then each mapping on a
    // page boundary of the file; pages of zeros are left as holes.
    Ehdr eh{};
    const uint8_t ident[16] = {0x7f, 'E', 'L', 'F', 1 /* 32-bit */, 1 /* little-endian */, 1};
    std::memcpy(eh.ident, ident, sizeof ident);
    eh.type = 4;  // core
    eh.machine = 3;
    eh.version = 1;
    eh.phoff = sizeof(Ehdr);
    eh.ehsize = sizeof(Ehdr);
    eh.phentsize = sizeof(Phdr);
    eh.phnum = static_cast<uint16_t>(1 + regions.size());
    std::vector<Phdr> ph(eh.phnum);
    uint32_t at = sizeof(Ehdr) + eh.phnum * sizeof(Phdr);
    ph[0] = Phdr{kPtNote, at, 0, 0, static_cast<uint32_t>(notes.size()), 0, 0, 4};
    uint64_t offset = (uint64_t{at} + notes.size() + kPage - 1) & ~uint64_t{kPage - 1};
    for (size_t i = 0; i < regions.size(); ++i) {
        const GuestMemory::Region& g = regions[i];
        uint32_t size = static_cast<uint32_t>(g.end - g.begin);
        uint32_t flags = ((g.perms & kPermRead) ? 4u : 0u) | ((g.perms & kPermWrite) ? 2u : 0u) |
                         ((g.perms & kPermExec) ? 1u : 0u);
        if (offset + size > 0xFFFFFFFFu) {
            return Error{HostError::Io, "the guest's memory does not fit in a 32-bit core file"};
        }
        ph[i + 1] =
            Phdr{kPtLoad, static_cast<uint32_t>(offset), g.begin, 0, size, size, flags, kPage};
        offset += size;
    }

    // A name of its own beside the core's, made new: nothing already there
    // (a link, a named pipe) is opened.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        temp = "." + file + ".part" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        fd = openat(where.fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        return Error{HostError::Io, "cannot write " + path + ": " + std::strerror(errno)};
    }
    uint64_t pages = 0;
    bool ok = write_all(fd, &eh, sizeof eh, 0) &&
              write_all(fd, ph.data(), ph.size() * sizeof(Phdr), sizeof eh) &&
              write_all(fd, notes.data(), notes.size(), at);
    std::vector<uint8_t> page(kPage);
    for (size_t i = 0; ok && i < regions.size(); ++i) {
        for (uint32_t p = 0; ok && p < ph[i + 1].filesz; p += kPage) {
            // A page the engine cannot read is left as zeros.
            if (!m.engine().read(ph[i + 1].vaddr + p, page.data(), kPage)) continue;
            if (std::all_of(page.begin(), page.end(), [](uint8_t b) { return b == 0; })) continue;
            if (written + (pages + 1) * kPage > budget) {
                close(fd);
                unlinkat(where.fd, temp.c_str(), 0);
                return Error{HostError::Io, "not written: the run's cores would pass " +
                                                std::to_string(budget >> 20) + " MiB"};
            }
            ++pages;
            ok = write_all(fd, page.data(), kPage, static_cast<off_t>(ph[i + 1].offset + p));
        }
    }
    if (ok) ok = ftruncate(fd, static_cast<off_t>(offset)) == 0;
    if (close(fd) != 0) ok = false;
    if (ok) ok = renameat(where.fd, temp.c_str(), where.fd, file.c_str()) == 0;
    if (!ok) {
        std::string why = "cannot write " + path + ": " + std::strerror(errno);
        unlinkat(where.fd, temp.c_str(), 0);
        return Error{HostError::Io, why};
    }
    written += pages * kPage;
    return Done{};
}

}  // namespace nuv
