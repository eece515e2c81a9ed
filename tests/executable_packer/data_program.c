/* A small program for the packing tests to pack and run: no C library, a block of data (random
   or zeros, DATA_RANDOM) that it hashes, with its arguments, the PACKED_TEST_MARKER variable and
   the descriptors it starts with beyond the standard three, to stdout, so that a packed copy must
   print what this one prints. Built with REPORT_NAME, it first prints the name the kernel gives
   it (/proc/self/comm, what ps and pgrep read). */
#include <stddef.h>
#include <stdint.h>

#define DATA_SIZE 2000

static long system_call3(long number, long a, long b, long c)
{
    long result;
    __asm__ volatile("syscall" : "=a"(result) : "a"(number), "D"(a), "S"(b), "d"(c) : "rcx", "r11", "memory");
    return result;
}

static void print(const char* text, size_t length)
{
    system_call3(1, 1, (long)text, (long)length);
}

static size_t length_of(const char* text)
{
    size_t length = 0;
    while (text[length])
        ++length;
    return length;
}

#ifdef DATA_RANDOM
/* The data itself, in the file: multiplicative-hash bytes written out by the compiler. */
#define X(n) (uint8_t)(((((n) * 2654435761u) ^ (((n) * 2654435761u) >> 15)) * 2246822519u) >> 24)
#define X10(n) X(n), X(n + 1), X(n + 2), X(n + 3), X(n + 4), X(n + 5), X(n + 6), X(n + 7), X(n + 8), X(n + 9)
#define X100(n) X10(n), X10(n + 10), X10(n + 20), X10(n + 30), X10(n + 40), X10(n + 50), X10(n + 60), X10(n + 70), \
                X10(n + 80), X10(n + 90)
static const uint8_t stored[DATA_SIZE] = {X100(0),    X100(100),  X100(200),  X100(300),  X100(400),
                                          X100(500),  X100(600),  X100(700),  X100(800),  X100(900),
                                          X100(1000), X100(1100), X100(1200), X100(1300), X100(1400),
                                          X100(1500), X100(1600), X100(1700), X100(1800), X100(1900)};
#else
static const uint8_t stored[DATA_SIZE] = {0};
#endif

__attribute__((used)) static void start(long* stack)
{
    long argc = stack[0];
    char** argv = (char**)(stack + 1);
    char** environment = argv + argc + 1;
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < DATA_SIZE; ++i)
        hash = (hash ^ stored[i]) * 16777619u;
#ifdef REPORT_NAME
    char name[64];
    long fd = system_call3(2, (long)"/proc/self/comm", 0, 0);
    long name_length = system_call3(0, fd, (long)name, sizeof name);
    if (name_length > 0)
        print(name, (size_t)name_length);
    system_call3(3 /* close */, fd, 0, 0);
#endif
    char hex[9];
    for (int i = 0; i < 8; ++i)
        hex[i] = "0123456789abcdef"[hash >> (28 - 4 * i) & 15];
    hex[8] = '\n';
    print(hex, 9);
    for (long descriptor = 3; descriptor < 100; ++descriptor)
        if (system_call3(72 /* fcntl */, descriptor, 1 /* F_GETFD */, 0) >= 0)
        {
            char digits[2] = {(char)('0' + descriptor / 10), (char)('0' + descriptor % 10)};
            print("descriptor ", 11);
            print(digits, 2);
            print("\n", 1);
        }
    for (long i = 1; i < argc; ++i)
    {
        print("[", 1);
        print(argv[i], length_of(argv[i]));
        print("]\n", 2);
    }
    for (char** variable = environment; *variable; ++variable)
    {
        const char* name = "PACKED_TEST_MARKER=";
        size_t n = 0;
        while (name[n] && (*variable)[n] == name[n])
            ++n;
        if (!name[n])
        {
            print("marker ", 7);
            print(*variable + n, length_of(*variable + n));
            print("\n", 1);
        }
    }
    system_call3(231, 0, 0, 0);
}

__asm__(".globl _start\n_start:\n mov %rsp, %rdi\n and $-16, %rsp\n call start\n");
