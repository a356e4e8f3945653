// The processor's first instructions: from the reset vector in real mode to
// flat 32-bit protected mode, a stack in RAM, and StubMain. Also the entry
// points of every interrupt vector, which all end in StubInterrupt.

// Flat segments: base 0, limit 4 GiB, 32-bit; code execute/read, data read/write.
// The descriptors have their accessed bit set already: the GDT lies in flash,
// and a processor that sets the bit on loading a selector would write to
// flash (under KVM that write never completes, and the far jump hangs).
#define CODE_SELECTOR 0x08
#define DATA_SELECTOR 0x10
#define STACK_TOP 0x00080000

  .section .text.entry16, "ax"
  .code16
  .globl Entry16, GdtDescriptor
Entry16:
  cli
  cld
  // 32-bit operand size, so that all 32 bits of the GDT base load. The
  // descriptor's offset in CS comes from stub.ld: a 16-bit relocation holds
  // no addend that could subtract the segment base here.
  lgdtl %cs:GdtDescriptorOffset
  movl %cr0, %eax
  orl $1, %eax                 // PE
  movl %eax, %cr0
  ljmpl $CODE_SELECTOR, $Entry32

  .code32
Entry32:
  movw $DATA_SELECTOR, %ax
  movw %ax, %ds
  movw %ax, %es
  movw %ax, %fs
  movw %ax, %gs
  movw %ax, %ss
  movl $STACK_TOP, %esp
  call StubMain
1:
  hlt
  jmp 1b

  .balign 8
Gdt:
  .quad 0
  .quad 0x00CF9B000000FFFF     // CODE_SELECTOR
  .quad 0x00CF93000000FFFF     // DATA_SELECTOR
GdtDescriptor:
  .word GdtDescriptor - Gdt - 1
  .long Gdt

// One entry point per vector: push the vector number and go to the common
// part, which hands it and the interrupted EIP to StubInterrupt. Vectors that
// push an error code leave it above the number; StubInterrupt never returns,
// so the frame need not be unwound.
  .globl InterruptEntries
  .balign 16
InterruptEntries:
  .set vector, 0
  .rept 256
  .balign 16
  pushl $vector
  jmp InterruptCommon
  .set vector, vector + 1
  .endr

InterruptCommon:
  movl (%esp), %eax            // the vector
  movl 4(%esp), %edx           // EIP, or the error code for vectors that push one
  pushl %edx
  pushl %eax
  call StubInterrupt
2:
  hlt
  jmp 2b

// Only the jump: an ELF32 section may not end at 4 GiB itself.
  .section .resetvector, "ax"
  .code16
  .globl ResetVector
ResetVector:
  jmp Entry16
