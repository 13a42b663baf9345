#pragma once

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <future>
#include <string>
#include <thread>
#include <vector>

// Kills this process (SIGKILL, as a crash or a power cut would end it) when
// the calling thread is about to make its `count`-th change of a file's name
// (rename, link or unlink, in any of their forms), before that change is
// made: a seccomp filter on the thread hands each such call to a watching
// thread of this process, which lets it go on or kills. The other threads
// are not watched. isWatching() is false where the kernel refuses it.
class KillAtNameChange {
 public:
  explicit KillAtNameChange(int count) {
#if defined(__x86_64__)
    constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
    constexpr std::uint32_t kArch = 0;
#endif
    if (kArch == 0) return;
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    const std::vector<long> calls = {
#ifdef SYS_rename
        SYS_rename,
#endif
#ifdef SYS_link
        SYS_link,
#endif
#ifdef SYS_unlink
        SYS_unlink,
#endif
        SYS_renameat, SYS_renameat2, SYS_linkat, SYS_unlinkat,
    };
    // Each watched call jumps to the last statement; anything else is allowed.
    for (std::size_t index = 0; index < calls.size(); ++index) {
      const auto skip = static_cast<unsigned char>(calls.size() - index);
      program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(calls[index]), skip, 0));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF));

    // The watcher starts before the filter, so that it is not filtered itself.
    std::promise<int> listener;
    std::thread([count, ready = listener.get_future()]() mutable {
      const int fd = ready.get();
      if (fd < 0) return;
      seccomp_notif_sizes sizes{};
      if (::syscall(SYS_seccomp, SECCOMP_GET_NOTIF_SIZES, 0, &sizes) != 0) ::kill(::getpid(), SIGKILL);
      std::vector<char> request(sizes.seccomp_notif), response(sizes.seccomp_notif_resp);
      for (int seen = 0;;) {
        std::fill(request.begin(), request.end(), 0);
        auto* call = reinterpret_cast<seccomp_notif*>(request.data());
        if (::ioctl(fd, SECCOMP_IOCTL_NOTIF_RECV, call) != 0) continue;
        if (++seen == count) ::kill(::getpid(), SIGKILL);
        std::fill(response.begin(), response.end(), 0);
        auto* answer = reinterpret_cast<seccomp_notif_resp*>(response.data());
        answer->id = call->id;
        answer->flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        ::ioctl(fd, SECCOMP_IOCTL_NOTIF_SEND, answer);
      }
    }).detach();
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    int fd = -1;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0) {
      fd = static_cast<int>(::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &filter));
    }
    watching_ = fd >= 0;
    listener.set_value(fd);
  }

  bool isWatching() const { return watching_; }

 private:
  bool watching_ = false;
};
