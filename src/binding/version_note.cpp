// The project version, readable from the file without loading it. Linux: an
// ELF note named "meshjobs" of type 1 whose descriptor is the version,
// NUL-terminated. Local data only, so no symbol and no import; Windows reads
// it from the DLL's version resource instead (meshjobs.rc.in).
#if !defined(_WIN32)
asm(".pushsection .note.meshjobs.version, \"a\", %note\n"
    ".balign 4\n"
    ".long 2f - 1f\n"  // name size, NUL included
    ".long 4f - 3f\n"  // descriptor size, NUL included
    ".long 1\n"        // type: the project version
    "1: .asciz \"meshjobs\"\n"
    "2: .balign 4\n"
    "3: .asciz \"" MESHJOBS_VERSION "\"\n"
    "4: .balign 4\n"
    ".popsection\n");
#endif
