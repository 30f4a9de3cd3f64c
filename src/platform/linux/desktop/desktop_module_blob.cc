// The desktop module's bytes, linked into the launcher for
// desktop_module.cc. QL_DESKTOP_MODULE_FILE is the built module; the build
// recompiles this file whenever the module changes.
#ifndef QL_DESKTOP_MODULE_FILE
#error "QL_DESKTOP_MODULE_FILE must name the built desktop module"
#endif

__asm__(
    ".pushsection .rodata.ql_desktop_module,\"a\"\n"
    ".balign 64\n"
    ".globl ql_desktop_module_start\n"
    ".hidden ql_desktop_module_start\n"
    "ql_desktop_module_start:\n"
    ".incbin \"" QL_DESKTOP_MODULE_FILE "\"\n"
    ".globl ql_desktop_module_end\n"
    ".hidden ql_desktop_module_end\n"
    "ql_desktop_module_end:\n"
    ".popsection\n");
