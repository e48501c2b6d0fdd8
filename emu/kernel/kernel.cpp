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

std::unique_ptr<Kernel> Kernel::boot(Machine& first) {
    std::unique_ptr<Kernel> k(new Kernel(first));
    first.attach(*k, nullptr);
    return k;
}

Kernel::Kernel(Machine& first) : first_(first) {
    Entry p;
    p.machine = &first;
    procs_.emplace(first.pid(), std::move(p));
    resolver_ = [](Machine& caller, const std::string& path, std::vector<uint8_t>& image) {
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

int32_t Kernel::read_sandbox_image(Machine& caller, const std::string& path,
                                   std::vector<uint8_t>& image) {
    UniqueFd fd;
    if (int32_t e = caller.sandbox().open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, fd); e < 0) {
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
    // Children go first, youngest first; the first process is not ours.
    for (auto it = procs_.rbegin(); it != procs_.rend(); ++it) it->second.owned.reset();
}

Kernel::Entry* Kernel::find(Machine& m) {
    auto it = procs_.find(m.pid());
    return it != procs_.end() && it->second.machine == &m ? &it->second : nullptr;
}

Kernel::Stdio& Kernel::stdio(Machine& m) {
    if (find(m) == nullptr) throw std::logic_error("machine is not a process of this kernel");
    return m.process().stdio();
}

int Kernel::live_processes() const {
    int n = 0;
    for (const auto& [pid, p] : procs_) n += p.machine != nullptr;
    return n;
}

Machine* Kernel::process(int32_t pid) const {
    auto it = procs_.find(pid);
    return it == procs_.end() ? nullptr : it->second.machine;
}

std::vector<int32_t> Kernel::live_pids() const {
    std::vector<int32_t> pids;
    for (const auto& [pid, p] : procs_) {
        if (p.machine != nullptr) pids.push_back(pid);
    }
    return pids;
}

int32_t Kernel::spawn(Machine& parent, const std::string& path,
                      const std::vector<std::string>& args, const Stdio& how) {
    if (find(parent) == nullptr) return -NUV_EINVAL;
    if (live_processes() >= kMaxProcesses || procs_.size() >= kMaxEntries) return -NUV_EAGAIN;
    // The descriptors the child starts with, checked before anything is loaded.
    std::vector<std::shared_ptr<OpenFile>> files;
    if (how.inherit_all) files = parent.process().files();
    files.resize(std::max<size_t>(files.size(), 3));
    for (int i = 0; i < 3; ++i) {
        int32_t from = how.fds[static_cast<size_t>(i)] < 0 ? i : how.fds[static_cast<size_t>(i)];
        std::shared_ptr<OpenFile> f = parent.file(from);
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
        return e.fault == Fault::TooMany    ? -NUV_EAGAIN
               : e.fault == Fault::BadImage ? -NUV_ENOEXEC
                                            : -NUV_EIO;
    };
    Result<Machine::Image> image = Machine::check_image(std::move(bytes));
    if (!image) return refused(image.error());
    int32_t pid = next_pid_;
    Result<std::unique_ptr<Process>> proc = Process::child(pid, parent.process(), std::move(files));
    if (!proc) return refused(proc.error());
    Result<std::unique_ptr<Machine>> made = Machine::create(std::move(*image), o, std::move(*proc));
    if (!made) return refused(made.error());
    std::unique_ptr<Machine> child = std::move(*made);
    std::string err;
    std::vector<std::optional<std::string>> entries(args.begin(), args.end());
    if (!child->prepare_start(static_cast<int32_t>(args.size()), entries, err)) return -NUV_EINVAL;
    child->attach(*this, &parent);
    child->set_name(path);
    ++next_pid_;
    Entry p;
    p.ppid = parent.pid();
    p.machine = child.get();
    p.owned = std::move(child);
    procs_.emplace(pid, std::move(p));
    return pid;
}

Outcome Kernel::waitpid(Machine& caller, int32_t pid, uint32_t status_address, int32_t options) {
    if (pid == 0 || pid < -1) return -NUV_EINVAL;
    if (status_address != 0) {
        if (int32_t e = caller.memory().check(status_address, 4, true); e < 0) return e;
    }
    bool any_child = false;
    for (auto it = procs_.begin(); it != procs_.end(); ++it) {
        const Entry& p = it->second;
        if (p.ppid != caller.pid() || (pid != -1 && it->first != pid)) continue;
        any_child = true;
        if (p.machine != nullptr) continue;
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

int32_t Kernel::stream_begin(Machine& m, std::string absolute_path) {
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

int32_t Kernel::stream_write(Machine& m, int32_t stream, uint32_t address, uint32_t length) {
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

int32_t Kernel::stream_end(Machine& m, int32_t stream) {
    auto it = streams_.find(stream);
    if (it == streams_.end() || it->second.owner != m.pid()) return -NUV_EBADF;
    Stream s = std::move(it->second);
    streams_.erase(it);
    stream_bytes_ -= s.bytes.size();
    return m.sandbox().replace_file(
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

void Kernel::end(int32_t pid, int32_t status) {
    auto it = procs_.find(pid);
    if (it == procs_.end()) return;
    Entry& p = it->second;
    // The machine goes, and with it its descriptors: pipe ends close. Its
    // unfinished streams never reach their files.
    drop_streams(pid);
    p.machine = nullptr;
    p.owned.reset();
    p.status = status;
    // Its children can no longer be waited for; ended ones go now.
    for (auto c = procs_.begin(); c != procs_.end();) {
        if (c->second.ppid == pid) {
            c->second.ppid = 0;
            if (c->second.machine == nullptr) {
                c = procs_.erase(c);
                continue;
            }
        }
        ++c;
    }
    // Nobody can wait for an orphan.
    if (p.ppid == 0 || procs_.find(p.ppid) == procs_.end() || procs_[p.ppid].machine == nullptr) {
        procs_.erase(pid);
    }
}

void Kernel::release_ready(Machine& self, Clock::time_point deadline) {
    if (!spawned_any()) return;
    std::vector<int32_t> pids;
    for (const auto& [pid, p] : procs_) {
        if (p.machine != nullptr && p.machine != &self && p.machine->engine().concurrent()) {
            pids.push_back(pid);
        }
    }
    for (int32_t pid : pids) {
        Machine* m = process(pid);
        if (m == nullptr || (m->waiting() && !m->retry_pending())) continue;
        m->release(deadline);
    }
}

void Kernel::event_fds(Machine& self, std::vector<int>& out) const {
    out.clear();
    for (const auto& [pid, p] : procs_) {
        if (p.machine == nullptr || p.machine == &self) continue;
        int fd = p.machine->engine().event_fd();
        if (fd >= 0) out.push_back(fd);
    }
}

bool Kernel::run_round(Machine& self, Clock::time_point deadline, bool& timed_out) {
    bool progress = false;
    std::vector<int32_t> pids;
    for (const auto& [pid, p] : procs_) {
        if (p.machine != nullptr && p.machine != &self && p.machine != &first_) pids.push_back(pid);
    }
    for (int32_t pid : pids) {
        Machine* m = process(pid);
        if (m == nullptr) continue;
        if (m->waiting() && !m->retry_pending()) continue;
        progress = true;
        Machine::Step s = m->step(deadline);
        if (s.blocked || s.yielded) continue;
        const RunResult& r = s.result;
        if (r.stop == Stop::Timeout) {
            timed_out = true;
            return progress;
        }
        int32_t status = r.stop == Stop::Exited  ? r.status
                         : r.stop == Stop::Limit ? kStatusLimit
                                                 : kStatusFault;
        if (r.stop != Stop::Exited && m->options().on_child_stop) {
            m->options().on_child_stop(*m, r);
        }
        end(pid, status);
    }
    return progress;
}

bool Kernel::cut_short(Machine& self) {
    const volatile std::sig_atomic_t* flag = self.options().interrupted;
    return flag != nullptr && *flag != 0;
}

bool Kernel::schedule(Machine& self, bool wait, Clock::time_point deadline) {
    for (;;) {
        if (wait && self.retry_pending()) return true;
        bool timed_out = false;
        bool progress = run_round(self, deadline, timed_out);
        if (timed_out || Clock::now() >= deadline || cut_short(self)) return false;
        if (!wait) return true;
        if (progress) continue;
        if (self.retry_pending()) return true;
        // Nobody can run. Sleepers wake in time; otherwise this is a deadlock.
        std::vector<Machine*> blocked;
        for (const auto& [pid, p] : procs_) {
            if (p.machine != nullptr && p.machine->waiting()) blocked.push_back(p.machine);
        }
        std::optional<Clock::time_point> wake;
        for (Machine* m : blocked) {
            if (m->wake_time() && (!wake || *m->wake_time() < *wake)) wake = m->wake_time();
        }
        if (wake) {
            // In slices, so that an interruption is seen.
            Clock::time_point until = std::min(*wake, deadline);
            while (Clock::now() < until && !cut_short(self)) {
                std::this_thread::sleep_until(
                    std::min(until, Clock::now() + std::chrono::milliseconds(50)));
            }
            if (*wake > deadline || cut_short(self)) return false;
            continue;
        }
        Machine* victim = &self;
        for (Machine* m : blocked) {
            if (m->pid() > victim->pid()) victim = m;
        }
        victim->fail_pending(-NUV_EDEADLK);
        if (victim == &self) return true;
    }
}

}  // namespace nuv
