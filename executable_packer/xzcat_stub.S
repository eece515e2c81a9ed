# The loader stub of the self-unpacking executable: a complete ELF file by itself, header and
# all. The packed program follows it in the same file as a .lzma stream. The stub decompresses
# that stream with xzcat into an anonymous memory file and executes the memory file with its own
# arguments and environment; nothing is written to any file system. Whatever step fails, it
# prints one line to stderr and exits with status 1.
#
# Size notes.
# - The kernel starts an ELF file without an interpreter with every general register but rsp
#   zero (x86-64 ELF_PLAT_INIT), and a system call changes only rax, rcx and r11, so most
#   arguments are zero already or one short step from a register's known value.
# - rbp points at the memory file's name among the strings, so each string is a short lea from
#   it and the name a register move, where a move of its address would be longer.
# - Small system call numbers go through push and pop, or a byte move where eax is known to be
#   below 256, both shorter than a move of the whole number.
# - Fields that neither the kernel nor readelf looks at (e_ident's OS/ABI byte and padding,
#   e_version, p_paddr, p_align) carry the first instructions and the strings. The code there
#   runs in three pieces joined by short jumps, and the program header lies over the file
#   header's end.

        .set    base, 0x400000
        .set    sys_write, 1
        .set    sys_open, 2
        .set    sys_close, 3
        .set    sys_lseek, 8
        .set    sys_dup2, 33
        .set    sys_fork, 57
        .set    sys_execve, 59
        .set    sys_wait4, 61
        .set    sys_exit_group, 231
        .set    sys_memfd_create, 319
        .set    sys_execveat, 322
        .set    mfd_cloexec, 1
        .set    mfd_exec, 0x10
        .set    einval, 22
        .set    at_empty_path_bit, 12

        .include "stub_header.inc"

        .text
file_start:
        file_header_identity
# memfd_create("stillray", MFD_EXEC | MFD_CLOEXEC), part 1 of 3 (OS/ABI byte and padding): rbx
# will hold the memory file, rbp the strings. The file's name is the running program's (ps and
# pgrep read it); MFD_EXEC keeps it executable where memory files are sealed non-executable by
# default, and kernels that do not know the flag refuse it with EINVAL: then once more without.
entry:
        mov     $base + memory_file_name - file_start, %ebp
        push    $mfd_exec + mfd_cloexec
        jmp     entry_2
        file_header_type
# Part 2 of 3 (e_version).
entry_2:
        pop     %rsi
        jmp     entry_3
        .org    entry_2 + 4
        file_header_addresses entry, program_header
# One program header: the whole stub, read and executed where it lies. The payload after it is
# not mapped; the decompressor reads it from the file.
program_header:
        program_header_start 5                          # read and execute
# Part 3 of 3 (p_paddr).
entry_3:
        mov     %ebp, %edi
        jmp     entry_4
        .org    entry_3 + 8
        .quad   file_end - file_start - 1, file_end - file_start - 1
# The strings begin in p_align, which means nothing to the kernel for a fixed-address file.
# Debian 12 merges /bin into /usr/bin, so the decompressor's short path is as good as the long.
own_file:
        .asciz  "/proc/self/exe"
memory_file_name:
        .asciz  "stillray"
decompressor:
        .asciz  "/bin/xzcat"
message:
        .ascii  "stillray: cannot unpack\n"
message_end:

entry_4:
        mov     $sys_memfd_create, %eax
        syscall
        cmp     $-einval, %eax
        jne     1f
        sub     $mfd_exec, %esi                         # turns negative on the second refusal
        jns     entry_4
1:      xchg    %eax, %ebx                              # eax is zero again
        test    %ebx, %ebx
        js      fail
        mov     $sys_fork, %al
        syscall
        test    %eax, %eax
        jz      child

# Parent, and also a failed fork: waiting on its negative result finds no child and leaves the
# status word at its non-zero start value. On a clean exit of xzcat, execute the memory file in
# this process's place with the arguments and environment the kernel handed in (argc, argv...,
# 0, envp... on the stack).
        xchg    %eax, %edi                              # wait4(pid, &status, 0, NULL)
        push    %rdi                                    # the status word, non-zero until written
        mov     %rsp, %rsi
        push    $sys_wait4
        pop     %rax
        syscall
        pop     %rax
        test    %eax, %eax
        jnz     fail
        mov     %ebx, %edi                              # execveat(memfd, "", argv, envp, AT_EMPTY_PATH)
        lea     -1(%rbp), %esi                          # "": the zero that ends own_file
        pop     %rcx
        mov     %rsp, %rdx
        lea     8(%rsp,%rcx,8), %r10
        bts     $at_empty_path_bit, %r8d
        mov     $sys_execveat, %ax                      # eax is zero, the status
        syscall

fail:
        push    $2
        pop     %rdi
        lea     message - memory_file_name(%rbp), %esi
        push    $message_end - message
        pop     %rdx
        lea     -1(%rdi), %eax                          # write
        syscall
        dec     %edi                                    # status 1
        mov     $sys_exit_group, %eax
        syscall

# Child: stdout and stderr the memory file, stdin this file from the payload on; then become
# xzcat, with no environment. The memory file is duplicated first, so that it survives even
# when it took fd 0, 1 or 2 (a stream the parent was started without). Closing stdin makes the
# open take fd 0, and makes a failed open fail xzcat's read instead of leaving it the parent's
# stdin. Anything xzcat or this code reports lands in the memory file, and the parent alone
# prints its one line.
child:
        mov     %ebx, %edi                              # dup2(memfd, 1), dup2(memfd, 2)
        push    $1
        pop     %rsi
        mov     $sys_dup2, %al                          # eax is zero in the child
        syscall
        inc     %esi
        mov     $sys_dup2, %al                          # eax is 1, the new fd
        syscall
        xor     %edi, %edi                              # close(0)
        mov     $sys_close, %al                         # eax is 2
        syscall
        lea     own_file - memory_file_name(%rbp), %edi
        xor     %esi, %esi                              # O_RDONLY
        push    $sys_open
        pop     %rax
        syscall
        xchg    %eax, %edi                              # lseek(0, payload, SEEK_SET)
        mov     $file_end - file_start, %si
        push    $sys_lseek
        pop     %rax
        syscall
        lea     decompressor - memory_file_name(%rbp), %edi  # execve(xzcat, {xzcat, NULL}, NULL)
        push    %rdx
        push    %rdi
        mov     %rsp, %rsi
        push    $sys_execve
        pop     %rax
        syscall
        jmp     fail

file_end:
