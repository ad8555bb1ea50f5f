@echo off
rem Runs BWCorvane.exe or SCCorvane.exe from this folder and starts it again
rem a minute after it ends, however it ended, until this window is closed.
rem
rem   run-forever.cmd BWCorvane
rem   run-forever.cmd SCCorvane
rem   run-forever.cmd              (when only one of them is in this folder)
setlocal
cd /d "%~dp0"
set "program=%~n1"
if "%program%"=="" if exist BWCorvane.exe if not exist SCCorvane.exe set "program=BWCorvane"
if "%program%"=="" if exist SCCorvane.exe if not exist BWCorvane.exe set "program=SCCorvane"
if "%program%"=="" (
  echo run-forever: say which program to run: run-forever.cmd BWCorvane or run-forever.cmd SCCorvane
  exit /b 1
)
if not exist "%program%.exe" (
  echo run-forever: there is no %program%.exe in %CD%
  exit /b 1
)
:again
"%program%.exe"
echo run-forever: %program% ended with status %errorlevel% at %date% %time%; it starts again in a minute (Ctrl-C to stop)
rem timeout refuses to wait where there is no console input (as under some
rem schedulers); ping waits a minute anywhere.
timeout /t 60 /nobreak >nul 2>&1 || ping -n 61 127.0.0.1 >nul
goto again
