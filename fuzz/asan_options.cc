// The AddressSanitizer settings every fuzz target starts with; ASAN_OPTIONS
// adds to them and overrides them.
//
// libcups allocates a compressed stream's row buffers from the page header
// before any of our code sees it: the row length when the header is read,
// twice that to read rows, up to 4 GiB. Under ASan the free of such a block
// marks its whole shadow, half a gigabyte for 4 GiB, which takes a second or
// two on an idle machine and has taken more than the 10 s that count as a
// hang on a busy one. Blocks above 64 MiB are refused instead, and libcups
// then refuses the header or the rows. No page the targets read needs more:
// they skip pages above 8 or 16 MiB, and the filter refuses a larger one
// before it allocates. A refusal through operator new is still reported.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=64"; }
