# One sanitizer configuration per build folder; set through TESSAMER_SANITIZE.
if(TESSAMER_SANITIZE STREQUAL "address")
  # Without UBSan's vptr check: it reads an object's vtable through a pipe of its own, which
  # cannot be made while a test holds every descriptor of the process (the descriptor-shortage
  # tests), and it then reports any virtual call it has not cached as an "invalid vptr".
  add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined -fno-sanitize=vptr)
elseif(TESSAMER_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # Asio's atomic_thread_fence is fine under TSan; GCC warns about it regardless.
    add_compile_options(-Wno-tsan)
  endif()
  add_link_options(-fsanitize=thread)
elseif(NOT TESSAMER_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TESSAMER_SANITIZE must be empty, 'address' or 'thread'")
endif()

# Fuzz builds instrument the whole core for coverage; the fuzz programs add the libFuzzer driver.
if(TESSAMER_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
