/* Additions to the linker's own layout of a program (see vossel_program in
   vossel_targets.cmake). The code a run starts with, the start-up and exit stubs and the calls
   into shared libraries, lies at the front of the code, right behind the read-only data; the
   unwinding tables, read only when an exception is thrown, move behind the code. So the pages a
   run touches lie side by side. The code starts on a 64 KB boundary: the kernel maps a program's
   pages in aligned blocks of that size around each page touched, and code starting inside a
   block would spread the same pages over one block more. */
SECTIONS {
  .init : ALIGN(0x10000) { KEEP(*(SORT_NONE(.init))) }
  .fini : { KEEP(*(SORT_NONE(.fini))) }
  .plt : { *(.plt) *(.iplt) }
} INSERT BEFORE .text;
SECTIONS {
  .gcc_except_table : { *(.gcc_except_table .gcc_except_table.*) }
  .eh_frame_hdr : { *(.eh_frame_hdr) }
  .eh_frame : { KEEP(*(.eh_frame)) }
} INSERT AFTER .text;
