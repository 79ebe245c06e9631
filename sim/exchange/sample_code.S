/* Sample code segments, all with the calling form void f(uint8_t* data, int32_t len, char* arg)
 * (rdi = data, esi = len, rdx = arg), position-independent and self-contained: each is run
 * from a fresh mapping holding only its own bytes.
 *
 * Section .rodata.vorn_known_segments: the three known segments, 400 bytes each. The build
 * extracts this section into the 1200-byte known-segments file; the library also keeps it
 * as data for SampleKnownSegment(). They use only arg[0], the key argument:
 *   0: x ^= arg0 + i
 *   1: x = (x ^ 13*i) - arg0
 *   2: x = ror(x, 1) ^ arg0 ^ 0x5C
 * Section .rodata: the sample cipher (not a known segment), as data bytes:
 *   x = rol(x, 3) ^ (arg[i % 16] + 7*i)
 * All arithmetic is per byte, mod 256. The .org directives pad each routine with zeros to
 * its 400-byte image and stop the assembly if a routine outgrows it. */

    .section .rodata.vorn_known_segments, "a", @progbits
    .balign 64
    .globl vorn_sim_known_segments
    .hidden vorn_sim_known_segments
    .type vorn_sim_known_segments, @object
vorn_sim_known_segments:

/* Segment 0 */
    test %esi, %esi
    jle 2f
    movzbl (%rdx), %r8d          /* running key byte: arg0 + i */
    xor %ecx, %ecx
1:  xor %r8b, (%rdi,%rcx)
    inc %r8d
    inc %ecx
    cmp %esi, %ecx
    jl 1b
2:  ret
    .org vorn_sim_known_segments + 400, 0

/* Segment 1 */
    test %esi, %esi
    jle 2f
    movzbl (%rdx), %r8d          /* arg0 */
    xor %r9d, %r9d               /* 13*i */
    xor %ecx, %ecx
1:  movzbl (%rdi,%rcx), %eax
    xor %r9d, %eax
    sub %r8d, %eax
    mov %al, (%rdi,%rcx)
    add $13, %r9d
    inc %ecx
    cmp %esi, %ecx
    jl 1b
2:  ret
    .org vorn_sim_known_segments + 800, 0

/* Segment 2 */
    test %esi, %esi
    jle 2f
    movzbl (%rdx), %r8d
    xor $0x5C, %r8d              /* arg0 ^ 0x5C */
    xor %ecx, %ecx
1:  movzbl (%rdi,%rcx), %eax
    rorb $1, %al
    xor %r8d, %eax
    mov %al, (%rdi,%rcx)
    inc %ecx
    cmp %esi, %ecx
    jl 1b
2:  ret
    .org vorn_sim_known_segments + 1200, 0

    .size vorn_sim_known_segments, 1200

    .section .rodata
    .balign 16
    .globl vorn_sim_cipher_code
    .hidden vorn_sim_cipher_code
    .type vorn_sim_cipher_code, @object
    .globl vorn_sim_cipher_code_end
    .hidden vorn_sim_cipher_code_end
vorn_sim_cipher_code:
    test %esi, %esi
    jle 2f
    xor %ecx, %ecx               /* i */
    xor %r8d, %r8d               /* 7*i */
1:  movzbl (%rdi,%rcx), %eax
    rolb $3, %al
    mov %ecx, %r9d
    and $15, %r9d
    movzbl (%rdx,%r9), %r10d
    add %r8d, %r10d
    xor %r10d, %eax
    mov %al, (%rdi,%rcx)
    add $7, %r8d
    inc %ecx
    cmp %esi, %ecx
    jl 1b
2:  ret
vorn_sim_cipher_code_end:
    /* Zero padding to a full segment image; fails to assemble if the code outgrows it. */
    .org vorn_sim_cipher_code + 400, 0
    .size vorn_sim_cipher_code, 400

    .section .note.GNU-stack, "", @progbits
