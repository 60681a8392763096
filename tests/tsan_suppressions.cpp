// Under ThreadSanitizer: OpenCV's TBB thread pool, GDAL and Debian's compiled cpp-httplib are not
// instrumented, so memory that their threads hand over (in cpp-httplib, what the first request on
// one pool thread sets up and a later one on another reads) is reported as racing. Only those
// libraries' own frames are excused, and OpenCV's inline matrix-expression conversion, which
// reads the operation object that the library made on first use on another thread (the clock
// detection runs on the worker and on the preview request at once). Every threaded test program
// links this one definition.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libopencv_imgproc.so\n"
         "race:libopencv_core.so\n"
         "race:libtbb.so\n"
         "race:libcpp-httplib.so\n"
         "race:cv::MatExpr::operator cv::Mat\n"
         "deadlock:libgdal.so\n";
}
