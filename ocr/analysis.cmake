# The analysis engine: inputs, scheduler, values, core and worker thread.
target_sources(tessvark_ocr PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/analysis_scheduler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analysis_values.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analysis_core.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analysis_worker.cpp
)
