@echo off
rem VELUMTAR scheduled compare: no message boxes, Yes to every locked
rem directory, and a transcript of the run to read afterwards.
rem Keep this file next to velumtar.exe (and VELULIST.EXT, if you use one).
rem Optional argument: a share to copy the results to, under this
rem computer's name, for example \\server\velumtar$
setlocal
cd /d "%~dp0"
set VELUMTAR_TRANSCRIPT=%~dp0velumtar-transcript.jsonl
set VELUMTAR_ANSWERS=Y*
if exist "%VELUMTAR_TRANSCRIPT%" del "%VELUMTAR_TRANSCRIPT%"
start "" /wait "%~dp0velumtar.exe" C
if "%~1"=="" goto :eof
set target=%~1\%COMPUTERNAME%
if not exist "%target%" mkdir "%target%"
copy /y "%VELUMTAR_TRANSCRIPT%" "%target%\" >nul
if exist C:\VELUMTAR.TXT copy /y C:\VELUMTAR.TXT "%target%\" >nul
if exist C:\VELUMTAR.LOG copy /y C:\VELUMTAR.LOG "%target%\" >nul
