@echo off
rem VELUMTAR scheduled compare: no message boxes, Yes to every locked
rem directory, a transcript of the run and its findings file to read
rem afterwards, and each finding in the Application event log.
rem Keep this file next to velumtar.exe (and VELULIST.EXT, if you use one).
rem Optional argument: a share to copy the results to, under this
rem computer's name, for example \\server\velumtar$
rem The exit code tells what the compare found: 1 New, 2 Changed,
rem 4 Deleted, 8 LOCKED, 16 the run did not complete (added up); 0 nothing.
setlocal
cd /d "%~dp0"
rem Event Viewer finds the texts of the events in velumtar.exe.
set source=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\VELUMTAR
reg add %source% /v EventMessageFile /t REG_EXPAND_SZ /d "%~dp0velumtar.exe" /f >nul 2>&1
reg add %source% /v TypesSupported /t REG_DWORD /d 7 /f >nul 2>&1
set VELUMTAR_TRANSCRIPT=%~dp0velumtar-transcript.jsonl
set VELUMTAR_FINDINGS=%~dp0velumtar-findings.jsonl
set VELUMTAR_SYSTEM_LOG=1
set VELUMTAR_EXIT_CODE=findings
set VELUMTAR_ANSWERS=Y*
if exist "%VELUMTAR_TRANSCRIPT%" del "%VELUMTAR_TRANSCRIPT%"
start "" /wait "%~dp0velumtar.exe" C
set found=%errorlevel%
if "%~1"=="" exit /b %found%
set target=%~1\%COMPUTERNAME%
if not exist "%target%" mkdir "%target%"
copy /y "%VELUMTAR_TRANSCRIPT%" "%target%\" >nul
if exist "%VELUMTAR_FINDINGS%" copy /y "%VELUMTAR_FINDINGS%" "%target%\" >nul
if exist C:\VELUMTAR.TXT copy /y C:\VELUMTAR.TXT "%target%\" >nul
if exist C:\VELUMTAR.LOG copy /y C:\VELUMTAR.LOG "%target%\" >nul
exit /b %found%
