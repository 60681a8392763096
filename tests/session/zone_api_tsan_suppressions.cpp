// Under ThreadSanitizer: OpenCV's TBB thread pool and GDAL are not instrumented, so memory that
// their threads hand over is reported as racing. Only those libraries' own frames are excused.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libopencv_imgproc.so\n"
         "race:libopencv_core.so\n"
         "race:libtbb.so\n"
         "deadlock:libgdal.so\n";
}
