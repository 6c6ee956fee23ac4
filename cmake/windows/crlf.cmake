# cmake -DIN=file -DOUT=file -P crlf.cmake: IN with every line ended in CR LF, as Windows 7's
# Notepad needs (it shows a file whose lines end in LF alone as one line).
file(READ "${IN}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
