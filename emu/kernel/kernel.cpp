#include "kernel.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "sandbox.hpp"

namespace nuv {

using Clock = std::chrono::steady_clock;

Result<std::unique_ptr<Kernel>> Kernel::boot(const std::string& path, const Options& opts) {
    // Read and parsed once: the parsed file is planned as it is.
    Result<elf::File> f = elf::read_file(path);
    if (!f) return f.error();
    return boot(Task::check_image(std::move(*f)), opts);
}

Result<std::unique_ptr<Kernel>> Kernel::boot(Result<Task::Image> image, const Options& opts) {
    if (!image) return image.error();
    Result<std::unique_ptr<Process>> process =
        Process::first(opts.root, opts.input, opts.capture_output, opts.interrupted,
                       opts.temporaries, std::make_shared<DiskBudget>(opts.disk_limit));
    if (!process) return process.error();
    std::map<uint32_t, SyscallDef> calls;
    for (const SyscallDef& d : default_syscalls()) calls[d.nr] = d;
    auto engines = std::make_unique<EngineFactory>();
    Result<std::unique_ptr<Task>> first =
        Task::create(std::move(*image), opts, std::move(*process), std::move(calls), *engines);
    if (!first) return first.error();
    return std::unique_ptr<Kernel>(new Kernel(std::move(engines), std::move(*first)));
}

Kernel::Kernel(std::unique_ptr<EngineFactory> engines, std::unique_ptr<Task> first)
    : engines_(std::move(engines)), first_(first.get()) {
    Entry p;
    int32_t pid = first->pid();
    p.task = std::move(first);
    procs_.emplace(pid, std::move(p));
    resolver_ = [](Task& caller, const std::string& path, std::vector<uint8_t>& image) {
        return read_sandbox_image(caller, path, image);
    };
}

int32_t Kernel::read_image(const std::string& host_path, std::vector<uint8_t>& image) {
    std::error_code ec;
    if (!std::filesystem::exists(host_path, ec)) return -NUV_ENOENT;
    if (!std::filesystem::is_regular_file(host_path, ec)) return -NUV_ENOEXEC;
    uint64_t size = std::filesystem::file_size(host_path, ec);
    if (ec || size > kMaxImageBytes) return -NUV_ENOEXEC;
    std::ifstream in(host_path, std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.bad() ? -NUV_ENOEXEC : 0;
}

int32_t Kernel::read_sandbox_image(Task& caller, const std::string& path,
                                   std::vector<uint8_t>& image) {
    UniqueFd fd;
    if (int32_t e = caller.process().sandbox().open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, fd);
        e < 0) {
        return e;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return host_error(errno);
    if (!S_ISREG(st.st_mode)) return -NUV_ENOEXEC;
    if (static_cast<uint64_t>(st.st_size) > kMaxImageBytes) return -NUV_ENOEXEC;
    image.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < image.size()) {
        ssize_t n =
            pread(fd.get(), image.data() + done, image.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -NUV_EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

Kernel::~Kernel() {
    // Youngest first: the processes a process spawned end before it (they
    // may share its descriptors).
    for (auto it = procs_.rbegin(); it != procs_.rend(); ++it) {
        Task* t = it->second.task.get();
        if (t != nullptr && t->options().on_end) t->options().on_end(*t);
        it->second.task.reset();
    }
}

Kernel::Entry* Kernel::find(Task& t) {
    auto it = procs_.find(t.pid());
    return it != procs_.end() && it->second.task.get() == &t ? &it->second : nullptr;
}

Kernel::Stdio& Kernel::stdio(Task& t) {
    if (find(t) == nullptr) throw std::logic_error("task is not a process of this kernel");
    return t.process().stdio();
}

int Kernel::live_processes() const {
    int n = 0;
    for (const auto& [pid, p] : procs_) n += p.task != nullptr;
    return n;
}

Task* Kernel::process(int32_t pid) const {
    auto it = procs_.find(pid);
    return it == procs_.end() ? nullptr : it->second.task.get();
}

std::vector<int32_t> Kernel::live_pids() const {
    std::vector<int32_t> pids;
    for (const auto& [pid, p] : procs_) {
        if (p.task != nullptr) pids.push_back(pid);
    }
    return pids;
}

int32_t Kernel::spawn(Task& parent, const std::string& path, const std::vector<std::string>& args,
                      const Stdio& how) {
    if (find(parent) == nullptr) return -NUV_EINVAL;
    if (live_processes() >= kMaxProcesses || procs_.size() >= kMaxEntries) return -NUV_EAGAIN;
    // The descriptors the child starts with, checked before anything is loaded.
    std::vector<std::shared_ptr<OpenFile>> files;
    if (how.inherit_all) files = parent.process().files();
    files.resize(std::max<size_t>(files.size(), 3));
    for (int i = 0; i < 3; ++i) {
        int32_t from = how.fds[static_cast<size_t>(i)] < 0 ? i : how.fds[static_cast<size_t>(i)];
        std::shared_ptr<OpenFile> f = parent.process().file(from);
        if (!f && how.fds[static_cast<size_t>(i)] >= 0) return -NUV_EBADF;
        files[static_cast<size_t>(i)] = std::move(f);
    }
    std::vector<uint8_t> bytes;
    if (int32_t e = resolver_(parent, path, bytes); e < 0) return e;

    Options o = parent.options();
    o.input.reset();
    o.capture_output = false;
    o.debugging = false;
    auto refused = [](const Error& e) {
        return e.kind == HostError::TooMany    ? -NUV_EAGAIN
               : e.kind == HostError::BadImage ? -NUV_ENOEXEC
                                               : -NUV_EIO;
    };
    Result<Task::Image> image = Task::check_image(std::move(bytes));
    if (!image) return refused(image.error());
    int32_t pid = next_pid_;
    Result<std::unique_ptr<Process>> proc = Process::child(pid, parent.process(), std::move(files));
    if (!proc) return refused(proc.error());
    // Replaced handlers reach the children too.
    Result<std::unique_ptr<Task>> made =
        Task::create(std::move(*image), o, std::move(*proc), parent.calls(), *engines_);
    if (!made) return refused(made.error());
    std::unique_ptr<Task> child = std::move(*made);
    std::vector<std::optional<std::string>> entries(args.begin(), args.end());
    if (!child->prepare_start(static_cast<int32_t>(args.size()), entries)) return -NUV_EINVAL;
    child->set_name(path);
    ++next_pid_;
    Entry p;
    p.ppid = parent.pid();
    p.task = std::move(child);
    procs_.emplace(pid, std::move(p));
    return pid;
}

Outcome Kernel::waitpid(Task& caller, int32_t pid, uint32_t status_address, int32_t options) {
    if (pid == 0 || pid < -1) return -NUV_EINVAL;
    if (status_address != 0) {
        if (int32_t e = caller.memory().check(status_address, 4, true); e < 0) return e;
    }
    bool any_child = false;
    for (auto it = procs_.begin(); it != procs_.end(); ++it) {
        const Entry& p = it->second;
        if (p.ppid != caller.pid() || (pid != -1 && it->first != pid)) continue;
        any_child = true;
        if (p.task != nullptr) continue;
        int32_t found = it->first;
        if (status_address != 0) {
            caller.memory().write_u32(status_address, static_cast<uint32_t>(p.status));
        }
        procs_.erase(it);
        return found;
    }
    if (!any_child) return -NUV_ECHILD;
    if (options & NUV_WNOHANG) return 0;
    return Outcome::block();
}

int32_t Kernel::stream_begin(Task& m, std::string absolute_path) {
    if (streams_.size() >= kMaxStreams) return -NUV_EMFILE;
    // Handles count up and are never reused while the kernel lives.
    if (next_stream_ == INT32_MAX) return -NUV_EMFILE;
    int32_t handle = next_stream_++;
    Stream s;
    s.owner = m.pid();
    s.path = std::move(absolute_path);
    streams_.emplace(handle, std::move(s));
    return handle;
}

int32_t Kernel::stream_write(Task& m, int32_t stream, uint32_t address, uint32_t length) {
    auto it = streams_.find(stream);
    if (it == streams_.end() || it->second.owner != m.pid()) return -NUV_EBADF;
    if (length > kMaxStreamBytes - stream_bytes_) return -NUV_ENOSPC;
    std::vector<uint8_t>& bytes = it->second.bytes;
    size_t old = bytes.size();
    bytes.resize(old + length);
    if (int32_t e = m.memory().read(address, bytes.data() + old, length); e < 0) {
        bytes.resize(old);
        return e;
    }
    stream_bytes_ += length;
    return static_cast<int32_t>(length);
}

int32_t Kernel::stream_end(Task& m, int32_t stream) {
    auto it = streams_.find(stream);
    if (it == streams_.end() || it->second.owner != m.pid()) return -NUV_EBADF;
    Stream s = std::move(it->second);
    streams_.erase(it);
    stream_bytes_ -= s.bytes.size();
    return m.process().sandbox().replace_file(
        s.path, s.bytes.size(), [&](uint64_t offset, std::span<uint8_t> chunk) {
            std::copy_n(s.bytes.begin() + static_cast<ptrdiff_t>(offset), chunk.size(),
                        chunk.begin());
            return true;
        });
}

void Kernel::drop_streams(int32_t pid) {
    for (auto it = streams_.begin(); it != streams_.end();) {
        if (it->second.owner == pid) {
            stream_bytes_ -= it->second.bytes.size();
            it = streams_.erase(it);
        } else {
            ++it;
        }
    }
}

std::shared_ptr<PipeBuffer> Kernel::named_pipe(uint64_t device, uint64_t inode) {
    auto key = std::make_pair(device, inode);
    if (auto p = named_pipes_[key].lock()) return p;
    // Forget buffers nobody holds any more.
    for (auto it = named_pipes_.begin(); it != named_pipes_.end();) {
        it = it->second.expired() ? named_pipes_.erase(it) : std::next(it);
    }
    auto p = std::make_shared<PipeBuffer>();
    p->named = true;
    named_pipes_[key] = p;
    return p;
}

void Kernel::finish_profile() {
    for (auto& [pid, e] : procs_) {
        if (e.task != nullptr && e.task->options().profile)
            e.task->options().profile->finish(*e.task);
    }
}

void Kernel::end(int32_t pid, int32_t status) {
    auto it = procs_.find(pid);
    if (it == procs_.end()) return;
    Entry& p = it->second;
    if (p.task != nullptr && p.task->options().on_end) p.task->options().on_end(*p.task);
    // The task goes, and with it its descriptors: pipe ends close. Its
    // unfinished streams never reach their files.
    drop_streams(pid);
    p.task.reset();
    p.status = status;
    // Its children can no longer be waited for; ended ones go now.
    for (auto c = procs_.begin(); c != procs_.end();) {
        if (c->second.ppid == pid) {
            c->second.ppid = 0;
            if (c->second.task == nullptr) {
                c = procs_.erase(c);
                continue;
            }
        }
        ++c;
    }
    // Nobody can wait for an orphan.
    if (p.ppid == 0 || procs_.find(p.ppid) == procs_.end() || procs_[p.ppid].task == nullptr) {
        procs_.erase(pid);
    }
}

}  // namespace nuv
