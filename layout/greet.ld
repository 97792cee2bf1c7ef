/* SPDX-FileCopyrightText: 2026 The greet developers
   SPDX-License-Identifier: MIT */
/* Added to lld's own layout of the static greet (-T, with INSERT), so that
   what start-up touches lies on as few pages as can hold it. A read or fetch
   fault maps the whole 64 KiB window around it of a file mapping, as far as
   the mapping goes; a write to a page, or any touch of an anonymous page,
   costs a fault of its own. The order file lists what start-up touches
   first in each output section. */

/* .init, .fini and .iplt run at start-up too: in front of the ordered .text,
   from a window's start, rather than at the far end of the code; or right
   after the lead section, whose code run starts the window, where the lead
   script (linked before this one, and inserted before .text first) has put
   one in front of them. */
SECTIONS {
  .init ALIGN(DEFINED(greet_lead_end) ? 1 : 0x10000) : { KEEP(*(SORT_NONE(.init))) }
  .fini : { KEEP(*(SORT_NONE(.fini))) }
  .iplt : { *(.iplt) }
} INSERT BEFORE .text;

/* The writable area from a window's start, RELRO first: the IRELATIVE slots
   and then the read-only-after-start-up objects written at start-up share
   its first page. RELRO ends on a page boundary in the file too, so that
   exec has no partial page to zero. */
SECTIONS {
  .got.plt ALIGN(0x10000) : { *(.got.plt) }
  .data.rel.ro : { *(.data.rel.ro .data.rel.ro.*) }
} INSERT BEFORE .tdata;
SECTIONS {
  .got : { *(.got) . = ALIGN(0x1000); }
} INSERT AFTER .init_array;

/* Then the rest, with zero-initialised objects among the initialised ones,
   in the file, from a page's start: the objects start-up writes, then those
   it reads, are listed first by the order and so share the fewest pages,
   inside the window that one read fault maps. */
SECTIONS {
  __libc_subfreeres : { *(__libc_subfreeres) }
  __libc_IO_vtables : { *(__libc_IO_vtables) }
  __libc_atexit : { *(__libc_atexit) }
  __libc_freeres_ptrs : { *(__libc_freeres_ptrs) }
  .data ALIGN(0x1000) : { *(.data .data.* .bss .bss.* COMMON) }
} INSERT BEFORE .tm_clone_table;
