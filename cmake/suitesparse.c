/* libtarnix_suitesparse has no code of its own: it is the static SuiteSparse archives,
   linked whole into one shared library that every tarnix extension loads. */
