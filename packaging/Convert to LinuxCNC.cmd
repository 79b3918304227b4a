@echo off
rem Turns a Mach3 profile into a LinuxCNC machine folder with the TRELVO-40/41 board, with trelvo-sim.exe beside it.
rem Double-click it and pick a profile, or drop a profile onto it; "Check wiring.cmd" does the asking.
rem From a console: "Convert to LinuxCNC.cmd" PROFILE [TIME [PULLEY]], TIME the update cycle's (1ms).
call "%~dp0Check wiring.cmd" /linuxcnc %*
