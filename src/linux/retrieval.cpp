// Linux retrieval: devices and identifiers from blkid, mount paths from df -h, and
// the records made of them.
#include "linux/parse.hpp"

#include "module/functions.hpp"
#include "record/driveinfo.hpp"

namespace vsn::fn {

namespace {

// blkid's cleaned output.
Ref blkidOutput(Frame& f, int build, int run) {
    f.at(build);
    Ref cmd_list = listOf(k().t_blkid.borrow());
    if (!cmd_list) {
        return {};
    }

    f.at(run);
    return callGlobal(k()._runCmdList.borrow(), cmd_list.borrow());
}

// Identifiers of 10 to 16 characters (NTFS serials, for one) shrink to the
// four-hyphen-four shape of a FAT serial, from their last eight characters.
Ref fold(Frame& f, Ref uuid) {
    f.at(125);
    Py_ssize_t size = length(uuid.borrow());
    if (size < 0) {
        return {};
    }
    if (size <= 9 || size >= 17) {
        return uuid;
    }

    f.at(126);
    Ref head = getSlice(uuid.borrow(), k().slice_8_12.borrow());
    if (!head) {
        return {};
    }
    Ref tail = getSlice(uuid.borrow(), k().slice_12_.borrow());
    if (!tail) {
        return {};
    }
    Ref joined = Ref::steal(PyNumber_Add(head.borrow(), k().t_hyphen.borrow()));
    if (!joined) {
        return {};
    }
    return Ref::steal(PyNumber_Add(joined.borrow(), tail.borrow()));
}

}  // namespace

Ref rtrvDriveVSNPairsLinux(Frame& f) {
    Ref rtrn_str = blkidOutput(f, 235, 236);
    if (!rtrn_str) {
        return {};
    }

    f.at(244);
    Ref drive_vsn_pairs = newList();
    if (!drive_vsn_pairs) {
        return {};
    }
    PyObject* text = rtrn_str.borrow();
    bool unreadable;
    if (readableInPlace(text, &unreadable)) {
        // Only the device of a line with a tag, once per line, and the identifiers
        // become objects.
        Ref drive;
        Py_ssize_t driveAt = -1;
        f.at(246);
        bool scanned = lin::forEachIdentifierSpan(text, [&](lin::Span line, lin::Span tag) {
            f.at(248);
            if (line.start != driveAt) {
                drive = lin::piece(text, line);
                if (!drive) {
                    return false;
                }
                driveAt = line.start;
            }
            Ref uuid = lin::identifier(text, tag, false);
            if (!uuid) {
                return false;
            }
            Ref pair = listOf(drive.borrow(), uuid.borrow());
            return pair && PyList_Append(drive_vsn_pairs.borrow(), pair.borrow()) == 0;
        });
        if (!scanned) {
            return {};
        }
        return drive_vsn_pairs;
    }
    if (unreadable) {
        return {};
    }
    bool walked = lin::forEachIdentifierTag(
        f, rtrn_str.borrow(), {238, 241, 242, 246, 247},
        [&](PyObject* line_split, PyObject* element) {
            f.at(248);
            Ref drive = getIndex(line_split, 0);
            if (!drive) {
                return false;
            }
            Ref uuid = getSlice(element, k().slice_6_m1.borrow());
            if (!uuid) {
                return false;
            }
            Ref pair = listOf(drive.borrow(), uuid.borrow());
            return pair && append(drive_vsn_pairs.borrow(), pair.borrow());
        });
    if (!walked) {
        return {};
    }
    return drive_vsn_pairs;
}

Ref rtrvDrivesInfoLinux(Frame& f) {
    Ref rtrn_str = blkidOutput(f, 110, 111);
    if (!rtrn_str) {
        return {};
    }

    f.at(119);
    Ref drive_vsn_pairs = newList();
    if (!drive_vsn_pairs) {
        return {};
    }
    PyObject* text = rtrn_str.borrow();
    bool unreadable;
    if (readableInPlace(text, &unreadable)) {
        // The device of a line is judged once, and made (without its colon) only when
        // kept; the identifier is folded as it is made.
        Ref device;
        bool system = false;
        Py_ssize_t judgedAt = -1;
        f.at(121);
        bool scanned = lin::forEachIdentifierSpan(text, [&](lin::Span line, lin::Span tag) {
            if (line.start != judgedAt) {
                system = lin::spanHolds(text, line, "sda");
                device.reset();
                if (!system) {
                    f.at(128);
                    device = lin::piece(text, {line.start, line.end - 1});
                    if (!device) {
                        return false;
                    }
                }
                judgedAt = line.start;
            }
            if (system) {
                return true;
            }
            f.at(126);
            Ref uuid = lin::identifier(text, tag, true);
            if (!uuid) {
                return false;
            }
            f.at(128);
            Ref pair = listOf(device.borrow(), uuid.borrow());
            return pair && PyList_Append(drive_vsn_pairs.borrow(), pair.borrow()) == 0;
        });
        if (!scanned) {
            return {};
        }
        f.at(130);
        return callGlobal(k().addDrivesPathsLinux.borrow(), drive_vsn_pairs.borrow());
    }
    if (unreadable) {
        return {};
    }
    bool walked = lin::forEachIdentifierTag(
        f, rtrn_str.borrow(), {113, 116, 117, 121, 122},
        [&](PyObject* line_split, PyObject* element) {
            f.at(123);
            Ref drive = getIndex(line_split, 0);
            if (!drive) {
                return false;
            }
            f.at(124);
            Ref uuid = getSlice(element, k().slice_6_m1.borrow());
            if (!uuid) {
                return false;
            }
            uuid = fold(f, std::move(uuid));
            if (!uuid) {
                return false;
            }

            // The system disk is left out of the records.
            f.at(127);
            int system = contains(drive.borrow(), k().t_sda.borrow());
            if (system < 0) {
                return false;
            }
            if (system) {
                return true;
            }
            f.at(128);
            Ref device = getSlice(drive.borrow(), k().slice_m1.borrow());
            if (!device) {
                return false;
            }
            Ref pair = listOf(device.borrow(), uuid.borrow());
            return pair && append(drive_vsn_pairs.borrow(), pair.borrow());
        });
    if (!walked) {
        return {};
    }

    f.at(130);
    return callGlobal(k().addDrivesPathsLinux.borrow(), drive_vsn_pairs.borrow());
}

Ref addDrivesPathsLinux(Frame& f, PyObject* drive_vsn_pairs) {
    // The outer list is new, but the paths go onto the caller's own entries.
    f.at(137);
    Ref pairs = callMethod(drive_vsn_pairs, k().copy.borrow());
    if (!pairs) {
        return {};
    }

    f.at(139);
    Ref cmd_list = listOf(k().t_df.borrow(), k().t_dash_h.borrow());
    if (!cmd_list) {
        return {};
    }
    f.at(140);
    Ref output = callGlobal(k()._runCmdList.borrow(), cmd_list.borrow());
    if (!output) {
        return {};
    }
    f.at(143);
    Py_ssize_t n = length(pairs.borrow());
    if (n < 0) {
        return {};
    }

    // One pass over df's lines, then one look-up per entry: a server with thousands of
    // devices and mounts must not pay for every pair of the two.
    lin::MountTable mounts;
    if (!mounts.read(f, output.borrow(), {141, 144, 146})) {
        return {};
    }

    for (Py_ssize_t i = 0; i < n; ++i) {
        f.at(145);
        Ref entry = getIndex(pairs.borrow(), i);
        if (!entry) {
            return {};
        }
        Ref device = getIndex(entry.borrow(), 0);
        if (!device) {
            return {};
        }
        f.at(147);
        if (!mounts.appendPaths(device.borrow(), entry.borrow())) {
            return {};
        }
    }
    return pairs;
}

Ref _convDrivesInfoListToClassLinux(Frame& f, PyObject* info_list) {
    f.at(211);
    Ref class_list = newList();
    if (!class_list) {
        return {};
    }

    bool walked = walk(f, info_list, 212, 213, [&](PyObject* info) {
        Ref vsn = getIndex(info, 1);
        if (!vsn) {
            return false;
        }
        Py_ssize_t vsnLength = length(vsn.borrow());
        if (vsnLength < 0) {
            return false;
        }
        if (vsnLength > 9) {
            return true;
        }
        // Device and identifier alone: the device is not mounted, so there is no path
        // to report, and one such device must not cost the caller every other record.
        // An entry that only offers indexing has no count to go by, and is read as is.
        if (hasLength(info)) {
            Py_ssize_t items = length(info);
            if (items < 0) {
                return false;
            }
            if (items == 2) {
                return true;
            }
        }

        f.at(214);
        return record::appendRecord(class_list.borrow(), info, 2);
    });
    if (!walked) {
        return {};
    }
    return class_list;
}

}  // namespace vsn::fn
