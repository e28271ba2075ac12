"""A user's script with three mistakes that the types must reveal, one per marked line."""

import vsnRtrv

record = vsnRtrv.DriveInfo("/dev/sdb1", "1A2B-3C4D", "/media/usb")
print(vsnRtrv.rtrvDriveVSNWindows(3))  # mistake: wrong argument type
print(record.getVsn())  # mistake: misspelled method
for drive in vsnRtrv.rtrvDriveInfo(vsnRtrv.getPlatform()):
    print(drive.printinfo())  # mistake: the unsupported platform's text is not handled
