#!/usr/bin/python3
"""An independent Modbus RTU slave (pymodbus) at address 1 on a serial device.

Holding registers 1..24 hold 1000 + n; every other address stays silent.
Usage: pymodbus_server.py DEVICE
"""
import logging
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartSerialServer
from pymodbus.transaction import ModbusRtuFramer

logging.basicConfig(level=logging.ERROR)

# Block addresses are the wire addresses + 1 in pymodbus 3.0's default
# (zero_mode off), so the block starts at 1 to serve wire register 0 onward.
values = [0] + [1000 + n for n in range(1, 25)] + [0] * 8
slave = ModbusSlaveContext(hr=ModbusSequentialDataBlock(1, values))
context = ModbusServerContext(slaves={1: slave}, single=False)
StartSerialServer(context=context, framer=ModbusRtuFramer, port=sys.argv[1],
                  baudrate=9600, bytesize=8, parity="N", stopbits=1,
                  ignore_missing_slaves=True)
