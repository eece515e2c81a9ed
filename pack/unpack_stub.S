# The loader stub of the self-unpacking executable: a complete ELF file by itself, header and
# all. The packed program follows it in the same file as a .lzma stream. The stub decompresses
# that stream with xzcat into an anonymous memory file and executes the memory file with its own
# arguments and environment; nothing is written to any file system. Whatever step fails, it
# prints one line to stderr and exits with status 1.

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
        .set    at_empty_path, 0x1000

        .text
file_start:
# ELF file header
        .byte   0x7f, 'E', 'L', 'F', 2, 1, 1, 0         # 64-bit, little-endian, version 1, System V
        .quad   0
        .short  2                                       # executable
        .short  62                                      # x86-64
        .long   1
        .quad   base + entry - file_start
        .quad   program_header - file_start
        .quad   0                                       # no section headers
        .long   0
        .short  64, 56, 1                               # header size, program header size and count
        .short  64, 0, 0                                # section header size, count, name index
# One program header: the whole stub, read and executed where it lies. The payload after it is
# not mapped; the decompressor reads it from the file.
program_header:
        .long   1, 5                                    # loadable, read and execute
        .quad   0, base, base
        .quad   file_end - file_start, file_end - file_start
        .quad   0x1000

# r12: the memory file. Syscalls keep every register but rax, rcx and r11. Small constants
# are loaded as push and pop, three bytes against five for a move.
entry:
        lea     empty_name(%rip), %rdi
        push    $mfd_cloexec
        pop     %rsi
        mov     $sys_memfd_create, %eax
        syscall
        test    %eax, %eax
        js      fail
        mov     %eax, %r12d

        push    $sys_fork
        pop     %rax
        syscall
        test    %eax, %eax
        js      fail
        jnz     parent

# Child: stdin is this file from the payload on, stdout the memory file, stderr closed so that
# a failure shows as the parent's one line only; then become xzcat, with no environment.
        lea     own_file(%rip), %rdi
        xor     %esi, %esi
        push    $sys_open
        pop     %rax
        syscall
        mov     %eax, %edi
        mov     $file_end - file_start, %esi
        xor     %edx, %edx
        push    $sys_lseek
        pop     %rax
        syscall
        xor     %esi, %esi
        push    $sys_dup2
        pop     %rax
        syscall
        mov     %r12d, %edi
        push    $1
        pop     %rsi
        push    $sys_dup2
        pop     %rax
        syscall
        push    $2
        pop     %rdi
        push    $sys_close
        pop     %rax
        syscall
        lea     decompressor(%rip), %rdi
        push    $0
        push    %rdi
        mov     %rsp, %rsi
        xor     %edx, %edx
        push    $sys_execve
        pop     %rax
        syscall
        push    $127
        pop     %rdi
        mov     $sys_exit_group, %eax
        syscall

# Parent: wait for xzcat; on a clean exit, execute the memory file in this process's place with
# the arguments and environment the kernel handed in (argc, argv..., 0, envp... on the stack).
parent:
        mov     %eax, %edi
        push    $0
        mov     %rsp, %rsi
        xor     %edx, %edx
        xor     %r10d, %r10d
        push    $sys_wait4
        pop     %rax
        syscall
        pop     %rcx
        test    %eax, %eax
        js      fail
        test    %ecx, %ecx
        jnz     fail
        mov     %r12d, %edi
        lea     empty_name(%rip), %rsi
        mov     (%rsp), %rcx
        lea     8(%rsp), %rdx
        lea     16(%rsp,%rcx,8), %r10
        mov     $at_empty_path, %r8d
        mov     $sys_execveat, %eax
        syscall

fail:
        push    $2
        pop     %rdi
        lea     message(%rip), %rsi
        mov     $message_end - message, %edx
        push    $sys_write
        pop     %rax
        syscall
        push    $1
        pop     %rdi
        mov     $sys_exit_group, %eax
        syscall

own_file:
        .asciz  "/proc/self/exe"
decompressor:
        .ascii  "/usr/bin/xzcat"
empty_name:
        .byte   0
message:
        .ascii  "stillray: cannot unpack in memory with xzcat\n"
message_end:
file_end:
