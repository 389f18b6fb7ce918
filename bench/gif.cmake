# GIF decoding: TGIFImage and TGIFAnimator against giflib (the peer, linked here only).
if(BORVINO_GUI)
  find_package(GIF REQUIRED)
  add_executable(bench_gif ${CMAKE_CURRENT_SOURCE_DIR}/gif_decode_bench.cpp)
  target_link_libraries(bench_gif PRIVATE widgets GIF::GIF benchmark::benchmark)
endif()
