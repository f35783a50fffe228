/* A module with nothing in it: the tests load copies of it from folders of their choosing to
   see which isolate.ini the search above a module finds. */
__declspec(dllexport) int IsolationProbe(void) { return 1; }
