# The native window's test under wine: the Win32 window itself (templates, system menu,
# version resource, one update through it, which drives the controller).
if(NOT TARGET zorbent_ui_win)
  return()
endif()
if(TARGET zorbent_sim)
  zorbent_add_test(winui_main_window_test SOURCES ${zorbent_tests}/winui/main_window_test.cpp
                   LIBS zorbent_ui_win zorbent_win_resources zorbent_sim zorbent_image_builder
                        version)
  # The window needs an X display under wine, and wine's desktop must have the same one:
  # tools/test-windows runs everything under one xvfb-run. Without a display the test skips.
endif()
