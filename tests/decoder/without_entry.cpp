// Exports a function under another name, so the library loads but has no decoder in it.
#ifdef _WIN32
#define EXPORTED extern "C" __declspec(dllexport)
#else
#define EXPORTED extern "C" __attribute__((visibility("default")))
#endif

EXPORTED int OodleLZ_Compress() {
  return 0;
}
