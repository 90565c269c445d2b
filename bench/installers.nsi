; The other kind of setup program bench/installers.sh compares with: one executable holding the
; payload in a solid archive, which unpacks it into a temporary directory of its own, runs
; Installer.exe from there, waits for it and removes the directory. Silent, like the launcher
; without a splash.
;   makensis -DPAYLOAD=DIR -DCOMPRESSOR=zlib|lzma -DOUTFILE=FILE installers.nsi
Unicode true
SetCompressor /SOLID ${COMPRESSOR}
Name "Benchmark"
OutFile "${OUTFILE}"
RequestExecutionLevel user
SilentInstall silent

Section
  GetTempFileName $0
  Delete $0
  CreateDirectory $0
  SetOutPath $0
  File /r "${PAYLOAD}/*"
  ExecWait '"$0\Installer.exe"'
  ; Out of the directory first: a process's current directory cannot be removed.
  SetOutPath $TEMP
  RMDir /r $0
SectionEnd
