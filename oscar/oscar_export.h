#ifndef OSCAR_OSCAR_EXPORT_H
#define OSCAR_OSCAR_EXPORT_H

// Marks a function or class as part of the module's public interface. The
// module is compiled with hidden visibility; the linker version script
// (liboscar.map) decides in the end what the shared library exports.
#define OSCAR_EXPORT __attribute__((visibility("default")))

#endif
