/* Added to lld's own layout of the static greet (-T with INSERT), so that
   what start-up touches lies on as few pages as can hold it. Fault-around
   maps a read or fetch fault's whole 64 KiB window of a file mapping, within
   one mapping; a write to a file page, or any touch of an anonymous page,
   costs a fault of its own. */

/* The code start-up runs from .init, .fini and .iplt too: in front of the
   ordered .text, from a window's start, rather than at the far end. */
SECTIONS {
  .init ALIGN(0x10000) : { KEEP(*(SORT_NONE(.init))) }
  .fini : { KEEP(*(SORT_NONE(.fini))) }
  .iplt : { *(.iplt) }
} INSERT BEFORE .text;

/* The writable area from a window's start: one read fault maps all of its
   file pages that fit, and then each page written costs one fault more. The
   IRELATIVE slots, written at start-up, lead RELRO, whose end is padded to
   the page in the file, so that exec has no partial page to zero. */
SECTIONS {
  .got.plt ALIGN(0x10000) : { *(.got.plt) }
} INSERT BEFORE .tdata;
SECTIONS {
  .data.rel.ro : { *(.data.rel.ro .data.rel.ro.*) }
  .got : { *(.got) . = ALIGN(0x1000); }
} INSERT AFTER .init_array;

/* Zero-initialised objects join the initialised ones, in the file: the
   objects start-up writes, listed first by the order, then share the fewest
   pages, and a read of the others is served by fault-around. */
SECTIONS {
  __libc_subfreeres : { *(__libc_subfreeres) }
  __libc_IO_vtables : { *(__libc_IO_vtables) }
  __libc_atexit : { *(__libc_atexit) }
  __libc_freeres_ptrs : { *(__libc_freeres_ptrs) }
  .data : { *(.data .data.*) *(.bss .bss.* COMMON) }
} INSERT BEFORE .tm_clone_table;
