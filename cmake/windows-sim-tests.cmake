# The simulator's Windows tests: the engine's update and read flows end to end against the
# in-process simulated adapter over loopback TCP (the flow harness picks TCP on Windows).
if(NOT TARGET zorbent_sim)
  return()
endif()
zorbent_add_test(flows_update_flow_test SOURCES ${zorbent_tests}/flows/update_flow_test.cpp
                 LIBS zorbent_engine zorbent_sim zorbent_image_builder)
# Every model's identification, read and update, the refusals and the repeat requests; the
# cases that wait out the engine's long timeouts (silent adapter, lost block answer, echo off,
# stops, disconnects) run natively only, so the binary ends in seconds under wine.
set_tests_properties(flows_update_flow_test PROPERTIES ENVIRONMENT
  "GTEST_FILTER=*EveryModel.UpdateSends*:*Refusals*:*Recoveries*-*LostAnswer:*EchoOff*")
