; The NSIS peer of a Lodestar launcher: carries a package stored as it is (no compression), puts
; it into a fresh directory in TEMP, runs the system's msiexec /i on it with the same arguments
; and waits, deletes the directory and exits with msiexec's code.
;   makensis -DPACKAGE=<file.msi> -DOUTPUT=<setup.exe> -DCRC=on|off wrapper.nsi
Unicode true
Target amd64-unicode
SetCompress off
CRCCheck ${CRC}
SilentInstall silent
RequestExecutionLevel user
Name "Lodestar benchmark peer"
OutFile "${OUTPUT}"

Section
  InitPluginsDir
  SetOutPath "$PLUGINSDIR"
  File "/oname=main.msi" "${PACKAGE}"
  ExecWait '"$SYSDIR\msiexec.exe" /i "$PLUGINSDIR\main.msi" /qn' $0
  ; Out of the directory, so that it can be deleted when the installer ends.
  SetOutPath "$TEMP"
  SetErrorLevel $0
SectionEnd
