# GIF decoding: TGIFImage against giflib (the peer, linked here only).
if(BORVINO_GUI)
  find_package(GIF REQUIRED)
  add_executable(gif_bench ${CMAKE_CURRENT_SOURCE_DIR}/gif_decode_bench.cpp)
  target_link_libraries(gif_bench PRIVATE widgets GIF::GIF benchmark::benchmark benchmark::benchmark_main)
endif()
