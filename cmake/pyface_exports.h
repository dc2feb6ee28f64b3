/* Forced first include of every pyface source (see CMakeLists.txt).
 *
 * nanobind declares its namespace hidden, and GCC then hides every function
 * whose signature names one of its types (nb::handle, nb::object, ...):
 * nearly all of pyface. A visibility pragma in force where a declaration is
 * read outranks that rule, so pyface's functions are exported from the
 * shared library the modules load, whichever header declares them. It stays
 * in force to the end of the source; nanobind's own names keep their
 * explicit hidden visibility. */
#pragma GCC visibility push(default)
