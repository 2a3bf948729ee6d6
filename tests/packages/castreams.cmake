# Writes the stream contents the "cadb" package carries: exactly 1 MiB (the size of one read
# when a stream is saved) and 1 MiB + 1 byte, from a pattern whose period (61) does not divide
# the read size, so a misplaced chunk shows. Run as cmake -D DIR=<output dir> -P castreams.cmake.
set(pattern "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXY")
string(REPEAT "${pattern}" 17191 text)
string(SUBSTRING "${text}" 0 1048576 exact)
string(SUBSTRING "${text}" 0 1048577 plusOne)
file(WRITE ${DIR}/exact.bin "${exact}")
file(WRITE ${DIR}/plus1.bin "${plusOne}")
