@echo off
rem Runs the pack's Windows test programs (tests\*.exe beside this script,
rem which find the setup program and the payload files relative to
rem themselves), keeps each one's output and XML results in the folder
rem "results", and ends with one line "N passed, M failed".
setlocal
cd /d "%~dp0"
if not exist results mkdir results
set passed=0
set failed=0
for %%t in (harness_tests startup_tests wizard_tests install_tests hardening_tests journey_tests) do call :run %%t
echo %passed% passed, %failed% failed
if not %failed%==0 exit /b 1
exit /b 0

rem :run NAME - runs tests\NAME.exe and adds its counts from its XML results,
rem one line per test suite: name="S" tests="T" failures="F" disabled="D"
rem skipped="K" errors="E" (tokens 5, 7, 11, 13 between "=" and spaces; the
rem ~ of a loop variable drops the quotes), read by Windows' own find (by its
rem full path: another "find" may come first on PATH). A program that left
rem no results, or failed with none failed in them, counts as one failure.
rem Its console output, which may hold the summaries of child runs of itself,
rem is kept but not counted.
:run
set found=0
if exist "results\%1.xml" del "results\%1.xml"
"tests\%1.exe" --gtest_output=xml:results\%1.xml >"results\%1.txt" 2>&1
set code=%errorlevel%
type "results\%1.txt"
if not exist "results\%1.xml" (
    set /a failed+=1
    exit /b 0
)
for /f "tokens=5,7,11,13 delims== " %%a in ('%SystemRoot%\System32\find.exe "<testsuite " ^<"results\%1.xml"') do (
    set /a passed+=%%~a-%%~b-%%~c-%%~d
    set /a failed+=%%~b+%%~d
    set /a found+=%%~b+%%~d
)
if not %code%==0 if %found%==0 set /a failed+=1
exit /b 0
