# The analysis engine: inputs, scheduler, values, core and worker thread.
target_sources(tessvark_ocr PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/analysis_scheduler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analysis_values.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analysis_core.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analysis_worker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/working_picture.cpp
)
# Zone cuts repeat OpenCV's warp arithmetic to the last bit: no fused multiply-adds there.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/working_picture.cpp PROPERTIES
  COMPILE_OPTIONS -ffp-contract=off)
