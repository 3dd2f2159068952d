# Warnings are errors everywhere. The phone's own code (engine/,
# coordination/, display/) also gets -Wconversion: it handles sizes and
# offsets from untrusted images, where a silent narrowing is a real fault.
set(UPG_WARNINGS -Wall -Wextra -Werror -Wformat=2 -Wshadow -Wnon-virtual-dtor)
set(UPG_STRICT_WARNINGS ${UPG_WARNINGS} -Wconversion)

function(upg_strict target)
  target_compile_options(${target} PRIVATE ${UPG_STRICT_WARNINGS})
endfunction()

function(upg_warnings target)
  target_compile_options(${target} PRIVATE ${UPG_WARNINGS})
endfunction()
