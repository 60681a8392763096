# Tests of the analysis engine.
tessvark_add_test(NAME ocr_analysis_scheduler_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/analysis_scheduler_test.cpp
                  LIBRARIES tessvark_ocr tessvark_core)
tessvark_add_test(NAME ocr_analysis_values_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/analysis_values_test.cpp
                  LIBRARIES tessvark_ocr tessvark_core)
tessvark_add_test(NAME ocr_analysis_core_test THREADED SOURCES ${CMAKE_CURRENT_LIST_DIR}/analysis_core_test.cpp
                  LIBRARIES tessvark_ocr tessvark_core tessvark_render)
tessvark_add_test(NAME ocr_analysis_worker_test THREADED SOURCES ${CMAKE_CURRENT_LIST_DIR}/analysis_worker_test.cpp
                  LIBRARIES tessvark_ocr tessvark_core)
tessvark_add_test(NAME ocr_analysis_end_to_end_test THREADED SOURCES ${CMAKE_CURRENT_LIST_DIR}/analysis_end_to_end_test.cpp
                  LIBRARIES tessvark_ocr tessvark_core tessvark_render tessvark_render_zones)
tessvark_add_test(NAME ocr_analysis_working_picture_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/analysis_working_picture_test.cpp
                  LIBRARIES tessvark_ocr tessvark_core)
