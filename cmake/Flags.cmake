# Compiler and linker settings shared by every target.

add_compile_options(-Wall -Wextra -Werror)

# The appliance programs: no exceptions, no RTTI, no thread-safe statics
# (which would pull in the C++ runtime), and nothing linked but the C library.
# A Release build is what goes onto the appliance: optimised for size, unused
# sections dropped, symbols stripped.
function(orvo_appliance_flags target)
  target_compile_options(${target} PRIVATE
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-asynchronous-unwind-tables
    $<$<CONFIG:Release>:-Os -ffunction-sections -fdata-sections>)
endfunction()

function(orvo_appliance_link target)
  target_link_options(${target} PRIVATE -Wl,--as-needed -static-libgcc
    $<$<CONFIG:Release>:-s -Wl,--gc-sections>)
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE CXX)
  target_link_libraries(${target} PRIVATE pthread)
endfunction()

# Sanitizer builds, e.g. -DORVO_SANITIZE=thread or -DORVO_SANITIZE=address,undefined:
# every target is compiled and linked with -fsanitize=<value>. Such programs
# need the sanitizer's runtime library, so the C-library-only check of the
# appliance programs does not apply to them.
set(ORVO_SANITIZE "" CACHE STRING "Sanitizers for every target (the -fsanitize= list), empty for none")
if(ORVO_SANITIZE)
  add_compile_options(-fsanitize=${ORVO_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${ORVO_SANITIZE})
endif()
