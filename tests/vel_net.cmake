# TCP server and transports: talks to the server over loopback sockets only.
plemox_add_test(NAME vel_net_test LABEL unit
                SOURCES unit/tcp_test.cc
                LIBS vel_net)
