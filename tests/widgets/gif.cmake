# GIF image, encoder, animator and thread timer. giflib is a test oracle only.
find_package(GIF REQUIRED)

foreach(gif_test gif_image_test gif_oracle_test gif_fuzz_test gif_animator_test thread_timer_test)
  if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${gif_test}.cpp)
    continue()
  endif()
  set(gif_test_libs widgets)
  set(gif_test_timeout 300)
  if(gif_test STREQUAL "gif_oracle_test")
    list(APPEND gif_test_libs GIF::GIF)
  endif()
  borvino_add_test(NAME ${gif_test} SOURCES ${gif_test}.cpp LIBS ${gif_test_libs} TIMEOUT ${gif_test_timeout})
endforeach()
