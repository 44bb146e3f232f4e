@echo off
rem Update Kalvo.cmd: runs kalvo-update.exe from this folder, then says what
rem its exit status means and waits for a key, so that a console window opened
rem by a double-click stays open until the outcome has been read.
setlocal
"%~dp0kalvo-update.exe"
set status=%errorlevel%
echo.
if "%status%"=="0" goto updated
if "%status%"=="2" goto notfound
if "%status%"=="3" goto failed
echo kalvo-update.exe could not be started, or did not run to its end (exit
echo status %status%). Extract the whole zip file to a folder, keep its files
echo together and start Update Kalvo.cmd from there. See "User guide.txt".
goto wait

:updated
echo The update is complete. The Kalvo restarts with its new firmware:
echo wait until it has started, then use it as before.
goto wait

:notfound
echo No Kalvo in bootloader mode was found. Unplug the Kalvo, hold its CONFIG
echo button, plug it in again, let go, and start Update Kalvo again. If it is
echo still not found, try another cable and a USB port on the computer itself,
echo not a hub. "User guide.txt" says more, under "No Kalvo found".
goto wait

:failed
echo The Kalvo did not confirm a page: the update did not go through.
echo Do not use the Kalvo like this. Put it into bootloader mode again (hold
echo CONFIG while plugging it in) and start Update Kalvo again; the update
echo starts from the beginning. If it keeps failing, see "User guide.txt",
echo under "The update failed".
goto wait

:wait
echo.
pause
exit /b %status%
