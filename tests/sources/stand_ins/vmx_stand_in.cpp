// Our stand-in for "libvmx.so", the library the OMT library depends on.

extern "C" __attribute__((visibility("default"))) int vmx_stand_in_version() { return 1; }
