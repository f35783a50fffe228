// Stand-in for the isolation context until path expansion joins the library: without it no
// isolation context can be set up, which is what the real call reports on a machine without
// isolate.ini. Delete this file when isolation.h/.cpp arrive.
namespace sharedlib {

bool SetSiloRegistryBase(const wchar_t* base);

bool SetSiloRegistryBase(const wchar_t* /*base*/) { return false; }

}  // namespace sharedlib
