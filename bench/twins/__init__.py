"""Plain-Python twins of the native modules: the same names, bound in the same
order (beside a few private helpers for what the native code does in C++), and
the same steps in every function, so the benchmark can set each native
function beside what a user could write instead (and, compiled with Cython,
beside that too).  The twins import each other relatively, so the compiled
copies stand on each other just as these do."""
