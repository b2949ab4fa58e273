N = A
A = b
x: ${${N}}
y: a${${N}}
z: $(${N})
.if ${${N}} == b
c: d
.endif
