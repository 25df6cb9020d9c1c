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
