# The native window's tests under wine: the controller through a fake view, and the Win32
# window itself (templates, pages, system menu, version resource, one update through it).
if(NOT TARGET zorbent_ui_win)
  return()
endif()
zorbent_add_test(ui_line_ends_test SOURCES ${zorbent_tests}/ui/line_ends_test.cpp
                 LIBS zorbent_ui)
zorbent_add_test(ui_main_controller_test SOURCES ${zorbent_tests}/ui/main_controller_test.cpp
                 LIBS zorbent_ui)
if(TARGET zorbent_sim)
  zorbent_add_test(winui_main_window_test SOURCES ${zorbent_tests}/winui/main_window_test.cpp
                   LIBS zorbent_ui_win zorbent_sim zorbent_image_builder version)
  # Windows need a display under wine: the window test gets a virtual one of its own when
  # xvfb-run is there (package xvfb); otherwise it uses $DISPLAY and skips without one.
  find_program(ZORBENT_XVFB_RUN xvfb-run)
  if(ZORBENT_XVFB_RUN AND ZORBENT_WINE)
    set_target_properties(winui_main_window_test PROPERTIES CROSSCOMPILING_EMULATOR
                          "${ZORBENT_XVFB_RUN};-a;${ZORBENT_WINE}")
  endif()
endif()
