@echo off
rem Checks a Mach3 profile's port and pin settings against the TRELVO-40/41 board, with trelvo-sim.exe beside it.
rem Double-click it and pick a profile, or drop a profile onto it. "Convert to LinuxCNC.cmd" calls it
rem with /linuxcnc first, to pick a profile the same way and turn it into a LinuxCNC machine.
setlocal EnableExtensions DisableDelayedExpansion
set "verb=check"
set "tool=Check wiring.cmd"
if /i "%~1"=="/linuxcnc" (
  set "verb=convert"
  set "tool=Convert to LinuxCNC.cmd"
  shift /1
)
rem No chcp: cmd hands trelvo-sim.exe its arguments as UTF-16 and it writes the console in UTF-16, so
rem folder and profile names in any script pass whatever the code page (65001 also stops batch files
rem on Windows XP and 7).
set "here=%~dp0"
set "sim=%~dp0trelvo-sim.exe"
set "rc=2"
if not exist "%sim%" (
  echo trelvo-sim.exe is not beside this file: unpack the whole zip into one folder.
  goto wait
)
set "profile=%~1"
rem Convert only: the update cycle's time and the pulley, when given after the profile, are not asked.
set "bit=%~2"
set "pulley=%~3"
if defined profile goto check

rem No profile given: the host profiles here, one folder up and in C:\Mach3.
for %%D in ("%here%.") do set "dir1=%%~fD"
for %%D in ("%here%..") do set "dir2=%%~fD"
set "dir3=C:\Mach3"
set "want="
set "count=0"
call :scan
if "%count%"=="0" (
  echo No Mach3 profile found in:
  echo   "%dir1%"
  echo   "%dir2%"
  echo   "%dir3%"
  echo Drop your profile, C:\Mach3\Mach3Mill.xml for example, onto "%tool%".
  goto wait
)
echo.
:ask
set "want="
set /p "want=Which profile do you want to %verb% (1 to %count%)? "
rem Nothing typed, or the input has ended: leave without a check.
if not defined want goto wait
set "valid="
for /l %%i in (1,1,%count%) do if "%want%"=="%%i" set "valid=1"
if not defined valid goto ask
set "count=0"
call :scan
if not defined profile goto wait

:check
rem "if exist" takes ? and * as a pattern; no file name holds either, so such a name is no file.
set "bare=%profile:?=%"
if not "%bare%"=="%profile%" goto no_file
for /f "delims=* eol=|" %%A in ("x%profile%x") do if not "%%A"=="x%profile%x" goto no_file
if not exist "%profile%" goto no_file
if "%verb%"=="convert" goto convert
rem A simulator that can write an HTML report writes it to the temporary folder, named after the profile.
set "report="
"%sim%" --help 2>nul | find "--report" >nul
if not errorlevel 1 call :report_name "%profile%"
echo Checking "%profile%"
echo.
if defined report (
  "%sim%" --check --profile "%profile%" --report "%report%"
) else (
  "%sim%" --check --profile "%profile%"
)
set "rc=%errorlevel%"
if defined report if exist "%report%" (
  echo.
  echo The report is in "%report%"; it opens in your browser.
  start "" "%report%"
)

:wait
echo.
pause
exit /b %rc%

:no_file
echo There is no file "%profile%".
goto wait

rem The machine's folder goes beside this file, named after the profile; the converter checks the
rem wiring first and writes nothing when it fails, nor over any file it did not write itself.
:convert
for %%P in ("%profile%") do set "out=%here%%%~nP-linuxcnc"
echo Converting "%profile%" into the LinuxCNC machine folder "%out%"
echo.
if defined bit goto have_bit
echo The time of one Mach3 update cycle on this PC, which the guide's "Kernel speed" shows how to
set /p "bit=measure, in whole milliseconds (for example 1ms): "
if not defined bit goto wait
set "pulley="
set /p "pulley=The pulley Mach3 drives the spindle with (1 to 25; Enter if the profile has one only): "
:have_bit
set "bit=%bit:"=%"
set "pulley_option="
if defined pulley for /l %%i in (1,1,25) do if "%pulley%"=="%%i" set "pulley_option=--pulley %%i"
if defined pulley if not defined pulley_option (
  echo "%pulley%" is no pulley number.
  goto wait
)
set "replace_option="
if not exist "%out%\" goto run_convert
set "yes="
set /p "yes=The folder is there already: replace the files the converter wrote in it (y/n)? "
if /i not "%yes%"=="y" goto wait
set "replace_option=--replace"
:run_convert
echo.
"%sim%" --linuxcnc-config "%out%" --profile "%profile%" --bit-time "%bit%" %pulley_option% %replace_option%
set "rc=%errorlevel%"
if "%rc%"=="0" (
  echo.
  echo Copy the folder to the LinuxCNC PC, into linuxcnc/configs in your home folder, and read its
  echo mach3-conversion.txt before the first run: it lists what to check on the machine.
)
goto wait

rem Lists the host profiles in the three folders, numbered; with "want" set, takes that one as "profile".
:scan
call :scan_folder "%dir1%"
if /i not "%dir2%"=="%dir1%" call :scan_folder "%dir2%"
if /i not "%dir3%"=="%dir1%" if /i not "%dir3%"=="%dir2%" call :scan_folder "%dir3%"
goto :eof

:scan_folder
if not exist "%~1\" goto :eof
rem A quoted pattern whose folder has a space finds nothing in some cmds: list from inside the folder.
pushd "%~1"
for %%F in (*.xml) do call :consider "%%~fF"
popd
goto :eof

:consider
call :is_profile "%~1"
if not defined found goto :eof
set /a count+=1
if not defined want (
  echo   %count%  "%~1"
  goto :eof
)
if "%want%"=="%count%" set "profile=%~1"
goto :eof

rem A host profile's root element is <profile>. cmd has no XML reader, so this looks for the tag with
rem find (its errorlevel: "&&" after it misleads some cmds), which copes with the single long line the host writes (findstr and for /f do not everywhere).
:is_profile
set "found="
find "<profile>" "%~1" >nul 2>nul
if not errorlevel 1 set "found=1"
goto :eof

:report_name
set "report=%TEMP%\%~n1 wiring check.html"
goto :eof
