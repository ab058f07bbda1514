/* The sections of the setup program, which starts at its own entry
   (-nostartfiles): no C runtime start-up, so no constructor lists, .CRT
   tables or thread-local data.

   The read-only data, the unwind data (.xdata) and the import table share
   one read-only section, which saves the padding of two sections to the
   512-byte file alignment. The loader fills the import address table while
   it maps the image, as it does for every image whose linker keeps that
   table with the read-only data. The function table (.pdata) stays a
   section of its own: ld finds the exception directory by that name, and
   sorts it. */
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + __section_alignment__ :
  {
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
  }
  .rdata BLOCK(__section_alignment__) :
  {
    *(.rdata)
    *(SORT(.rdata$*))
    KEEP (*(.xdata*))
    /* The import tables in the order of ld's own script. ld sets the import
       directory and the import address table from the addresses, relative
       to the image, of these four names. */
    . = ALIGN(4);
    ".idata$2" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    . = ALIGN(8);
    ".idata$4" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$4))
    ".idata$5" = ABSOLUTE(. - __image_base__);
    SORT(*)(.idata$5)
    ".idata$6" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
  }
  .pdata BLOCK(__section_alignment__) :
  {
    KEEP (*(.pdata*))
  }
  .bss BLOCK(__section_alignment__) :
  {
    *(.bss)
    *(COMMON)
  }
  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4)
  {
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
  }
  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }
  /DISCARD/ :
  {
    *(.debug$S)
    *(.debug$T)
    *(.debug$F)
    *(.drectve)
    *(.note.GNU-stack)
    *(.gnu.lto_*)
  }
}
