/* An ARMv6 add-on is linked without the compiler's start files: Debian's
   cross compiler has them as ARMv7 Thumb-2 code (cbz and the like), which
   the ARM1176 of a Pi Zero or Pi 1 cannot run, and the dynamic loader runs
   them first. Constructors and destructors still run from the init and
   fini arrays, and ARM unwinding finds its tables without registration;
   what the start files gave besides is the handle with which C++ registers
   the destructors of this object's statics. */
__attribute__((visibility("hidden"))) void *__dso_handle = &__dso_handle;
