# The decoding stub of the self-unpacking executable: a complete ELF file by itself, header and
# all, followed in the same file by the program coded with the context-mixing coder of
# coder/context_mixing.h and by the coder's contexts. It decodes the program into its own
# zero-filled memory, checks it, writes it to an anonymous memory file and executes that with
# its own arguments and environment; nothing is written to any file system. Whatever step fails,
# it prints one line to stderr and exits with status 1.
#
# The decoder computes exactly what coder/context_mixing.cpp's Predictor and range decoder
# compute, in the same integer steps; a change to one is a change to both. The packing step
# fills in what depends on the program (its size and final code, where the contexts lie, the two
# rates) at the places marked by the symbols patch_*: each holds the value for an empty program
# with no contexts, to which the packer adds. The absolute symbol output_capacity bounds the
# program.
#
# Registers across the loops: rdi the next output byte, rbx the partial byte (a leading 1 and
# the bits so far), ebp the range, r12d the code, r13 the next stream byte, r14d the hash of the
# current word, r9d the hash's multiplier; per bit r8w the target (65535 after a 1, 0 after a
# 0), r10 the mixer's sum and esi, once the contexts are walked, the error; rsi walks the
# contexts, whose weights lie just after.
#
# The check: the code left after the last bit, which the packer reads off its own decoder. A
# damaged or cut stream or context decodes on from another code and ends with another.
#
# Size notes.
# - The kernel starts an ELF file without an interpreter with every general register but rsp
#   zero (x86-64 ELF_PLAT_INIT), and the memory past the file's bytes zero: the models start
#   from zero with no set-up code (a slot's probability is stored as p ^ 0x8000, so that zero is
#   one half; the weights start at zero).
# - The coder starts with a range of 1, so that the normalisation before the first bit reads the
#   first three stream bytes, with no separate start.
# - Fields that neither the kernel nor readelf looks at carry the memory file's name (e_ident's
#   padding) and the first instructions (e_version, p_paddr, p_align), joined by short jumps;
#   the program header lies over the file header's end.

        .intel_syntax noprefix

        .set    base, 0x400000
        .set    slots, base + 0x10000           # 2^22 slots: p ^ 0x8000 (16 bits), n (16 bits)
        .set    slot_shift, 32 - 22
        .set    history, 32                     # zero bytes before the output: over the 31 a context reaches
        .set    output, slots + (4 << 22) + history
        .set    output_capacity, 0x10000 - history  # the output's end is compared in 16 bits
        .set    memory_size, output + output_capacity - base
        .set    hash_k, 0x2f0b4c1d
        .set    sys_write, 1
        .set    sys_exit, 60
        .set    sys_memfd_create, 319
        .set    sys_execveat, 322
        .set    mfd_cloexec, 1
        .set    mfd_exec, 0x10
        .set    at_empty_path, 0x1000

        .include "stub_header.inc"

        .text
file_start:
        file_header_identity
memory_file_name:                               # e_ident's padding, to the byte
        .asciz  "stillray"
        file_header_type
entry:                                          # e_version
        push    1
        jmp     entry_3
        file_header_addresses entry, program_header
# One program header: the whole file, read, written and executed where it lies, and the zero
# memory after it for the models and the output.
program_header:
        program_header_start 7                  # read, write and execute
entry_3:                                        # p_paddr
        pop     rbx                             # the partial byte's leading 1
        mov     edi, output
        jmp     entry_4
        .quad   0                               # file size less 1: the packer's
        .quad   memory_size - 1
entry_4:                                        # from p_align on
        mov     r13d, base + stream - file_start
        mov     r9d, hash_k
        mov     ebp, ebx                        # range 1
bit_loop:
        # Normalise: keep the range at 2^24 or more, a stream byte into the code per shift.
        mov     eax, ebp
        shr     eax, 24
        jnz     1f
        shl     ebp, 8
        shl     r12d, 8
        mov     r12b, [r13]
        inc     r13
        jmp     bit_loop
1:
        # Predict: per context, hash it with the partial byte into a slot, stretch the slot's
        # probability (log2 p - log2 (1 - p), through the float format's bits: exact for these
        # integers) and add it to the mixer's sum by its weight. The weight's place, stretch and
        # slot go on the stack, over a zero that ends the update.
        mov     esi, base + stream - file_start
        .set    patch_contexts_start, . - 4
        push    rcx                             # zero, as the update leaves it: its end
        xor     r10d, r10d
context_loop:
        lodsd                                   # bit 0: the word; bit j: the byte j back
        mov     edx, eax
        shr     eax, 1
        jnc     2f
        xor     edx, r14d
2:      push    rdi
        pop     rcx
hash_loop:
        dec     ecx
        shr     eax, 1
        jnc     3f
        xor     dl, [rcx]
        imul    edx, r9d
3:      test    eax, eax
        jnz     hash_loop
        xor     dl, bl
        imul    edx, r9d
        shr     edx, slot_shift
        lea     ecx, [slots + rdx * 4]          # memory lies below 4 GiB
        movzx   eax, word ptr [rcx]
        xor     ah, 0x80                        # p, 16 bits
        push    rsi
        cvtsi2ss xmm0, eax
        not     ax
        cvtsi2ss xmm1, eax                      # 65535 - p
        psubd   xmm0, xmm1
        movd    eax, xmm0
        sar     eax, 14
        push    rax
        push    rcx
        .byte   0x0f, 0xaf, 0x46, 0             # imul eax, [rsi + weight - 4]
        .set    patch_weight_before, . - 1
        cdqe
        add     r10, rax
        .byte   0x66, 0x81, 0xfe                # cmp si, the contexts' end (imm16)
        .short  (base + stream - file_start) & 0xffff
        .set    patch_contexts_end, . - 2
        jb      context_loop

        # Squash: 2^(x / 2048 + 16) through the float format's bits for the sum x (saturated to
        # 16 bits), then p = that / (that + 2^16), 32 bits.
        sar     r10, 16
        movq    xmm0, r10
        packssdw xmm0, xmm0
        movd    eax, xmm0
        cwde
        shl     eax, 12
        add     eax, 143 << 23
        movd    xmm0, eax
        cvttss2si rdx, xmm0
        lea     ecx, [rdx + 0x10000]
        xor     eax, eax
        div     ecx

        # Decode the bit: a code below range * p is a 1; the borrow of code - range * p is the bit.
        mov     esi, eax
        mul     ebp
        sub     ebp, edx                        # a 0: the range above range * p
        sub     r12d, edx
        jnc     4f
        add     r12d, edx                       # a 1: the code as it was, the carry set again
        mov     ebp, edx
4:      sbb     r8w, r8w                        # target: 65535 for a 1, 0 for a 0
        adc     ebx, ebx
        shr     esi, 16
        sub     esi, r8d                        # error: p - target

        # Update, contexts in reverse: each weight against stretch * error, each slot's p towards
        # the target by 10 / (3n + 11) of the way, n counting up to the limit.
update_loop:
        pop     rcx
        jrcxz   7f
        pop     rax
        pop     rdx
        imul    eax, esi
        .byte   0xc1, 0xf8, 0                   # sar eax, weight shift
        .set    patch_weight_shift, . - 1
        .byte   0x29, 0x42, 0                   # sub [rdx + weight - 4], eax
        .set    patch_weight_after, . - 1
        movzx   edx, byte ptr [rcx + 2]
        .byte   0x80, 0xfa, 0                   # cmp dl, count limit
        .set    patch_count_limit, . - 1
        adc     byte ptr [rcx + 2], 0
        lea     r10d, [rdx + rdx * 2 + 11]
        movzx   eax, word ptr [rcx]
        xor     ah, 0x80
        sub     eax, r8d
        imul    eax, eax, 10
        cdq
        idiv    r10d
        sub     [rcx], ax
        jmp     update_loop
7:
        test    bh, bh
        jnz     8f
next_bit:                                       # one far jump back, for both loops
        jmp     bit_loop

        # A whole byte: store it and fold it into the word's hash, which a byte other than a
        # small letter clears.
8:      xchg    eax, ebx
        stosb
        xor     r14b, al
        imul    r14d, r9d
        sub     al, 'a'
        cmp     al, 26
        cmovae  r14d, ecx                       # zero, as the update leaves it
        .byte   0x66, 0x81, 0xff                # cmp di, the output's end (imm16)
        .short  output & 0xffff
        .set    patch_output_end, . - 2
        push    1
        pop     rbx
        jb      next_bit
        .byte   0x41, 0x81, 0xfc                # cmp r12d, final code (imm32)
        .long   0
        .set    patch_final_code, . - 4
        jne     fail

        # memfd_create("stillray", MFD_EXEC | MFD_CLOEXEC), write(fd, output, size), then
        # execveat(fd, "", argv, envp, AT_EMPTY_PATH); the stack holds argc, argv..., 0, envp...
        # The file's name is the running program's (ps and pgrep read it); MFD_EXEC keeps it
        # executable where memory files are sealed non-executable by default, and kernels that
        # do not know the flag refuse it (EINVAL): then once more without it. Any refusal is
        # taken for that one, since a refusal for another cause comes again. The empty name is
        # the zero byte of memory before the output.
        pop     rbx                             # argc
        push    mfd_exec + mfd_cloexec
        pop     rsi
        mov     edi, base + memory_file_name - file_start
memory_file:
        mov     eax, sys_memfd_create
        syscall
        test    eax, eax
        jns     6f
        sub     esi, mfd_exec                   # turns negative on the second refusal
        jns     memory_file
6:      xchg    eax, edi
        mov     esi, output
        mov     edx, 0
        .set    patch_output_size, . - 4
        push    sys_write
        pop     rax
        syscall
        cmp     eax, edx
        jne     fail
        dec     esi
        push    rsp
        pop     rdx
        lea     r10, [rsp + rbx * 8 + 8]
        mov     r8w, at_empty_path              # r8's upper bits are zero: only r8w was set
        mov     ax, sys_execveat                # eax is the size written, below 2^16
        syscall
fail:
        push    2
        pop     rdi
        mov     esi, base + message - file_start
        push    24
        pop     rdx
        push    sys_write
        pop     rax
        syscall
        push    sys_exit
        pop     rax
        dec     edi
        syscall
message:
        .ascii  "stillray: cannot unpack\n"
        .if     . - message - 24
        .error  "the message's length is not the one written"
        .endif
stream:
