// Refusing one system call in a child before it runs the program under test, through a seccomp
// filter: from then on the call fails with the given error, as a kernel or a sandbox refusing it.
#pragma once

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// Installs the filter in this process, for it and what it runs; exits with 125 when it cannot.
template <std::size_t length>
void install_system_call_filter(sock_filter (&filter)[length])
{
    sock_fprog program = {static_cast<unsigned short>(length), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(125);
}

// Makes the system call fail with error, except where its first argument is spared (for write,
// a descriptor such as stderr); exits the child with 125 when the filter cannot be installed.
inline void refuse_system_call(int number, int error, std::int64_t spared_first_argument = -1)
{
    auto low_word = offsetof(seccomp_data, args[0]);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(low_word)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(spared_first_argument), 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    install_system_call_filter(filter);
}

// Makes the system call fail with error where its second argument has any of the flag bits set,
// as a kernel that does not know those flags refuses them; or, with where_set false, where it
// has none of them.
inline void refuse_system_call_flag(int number, std::uint32_t flag, int error, bool where_set = true)
{
    auto low_word = offsetof(seccomp_data, args[1]);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(low_word)),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, flag, std::uint8_t(!where_set), std::uint8_t(where_set)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    install_system_call_filter(filter);
}
