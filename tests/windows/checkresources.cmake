# Compiles updater.rc with windres into a .res file and checks what Windows will find in it:
# the manifest as RT_MANIFEST id 1, byte for byte, asking for administrator rights, and the
# icon split into its RT_ICON image and the RT_GROUP_ICON directory pointing at it.
#
# cmake -DWINDRES=... -DPREPROCESSOR=... -DRC_FILE=... -DICON_FILE=... -DMANIFEST_FILE=...
#       -DOUTPUT_FILE=... -P checkresources.cmake

foreach(var WINDRES PREPROCESSOR RC_FILE ICON_FILE MANIFEST_FILE OUTPUT_FILE)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} is not set")
    endif()
endforeach()

# hex strings hold two digits per byte; these take byte offsets and lengths
function(hex_bytes hex offset length out)
    math(EXPR start "${offset} * 2")
    math(EXPR count "${length} * 2")
    string(SUBSTRING "${hex}" ${start} ${count} bytes)
    set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

function(little_endian hex offset length out)
    hex_bytes("${hex}" ${offset} ${length} bytes)
    set(value "")
    math(EXPR last "${length} - 1")
    foreach(i RANGE ${last})
        math(EXPR pos "${i} * 2")
        string(SUBSTRING "${bytes}" ${pos} 2 byte)
        set(value "${byte}${value}")
    endforeach()
    math(EXPR value "0x${value}")
    set(${out} ${value} PARENT_SCOPE)
endfunction()

function(to_little_endian16 value out)
    math(EXPR low "${value} & 255" OUTPUT_FORMAT HEXADECIMAL)
    math(EXPR high "(${value} >> 8) & 255" OUTPUT_FORMAT HEXADECIMAL)
    foreach(part low high)
        string(REPLACE "0x" "" ${part} "${${part}}")
        string(LENGTH "${${part}}" digits)
        if(digits EQUAL 1)
            set(${part} "0${${part}}")
        endif()
    endforeach()
    set(${out} "${low}${high}" PARENT_SCOPE)
endfunction()

# a resource type or name: 0xFFFF followed by a number, or a NUL-terminated UTF-16 string
function(resource_id hex offset out_value out_next)
    hex_bytes("${hex}" ${offset} 2 marker)
    if(marker STREQUAL "ffff")
        math(EXPR id_offset "${offset} + 2")
        little_endian("${hex}" ${id_offset} 2 value)
        math(EXPR next "${offset} + 4")
    else()
        set(value "")
        set(next ${offset})
        while(TRUE)
            hex_bytes("${hex}" ${next} 2 unit)
            math(EXPR next "${next} + 2")
            if(unit STREQUAL "0000")
                break()
            endif()
            string(APPEND value "${unit}")
        endwhile()
        set(value "name:${value}")
    endif()
    set(${out_value} "${value}" PARENT_SCOPE)
    set(${out_next} ${next} PARENT_SCOPE)
endfunction()

set(failures "")
# check(<message> <condition>...): records the message when the condition does not hold
function(check message)
    if(NOT (${ARGN}))
        list(APPEND failures "${message}")
        set(failures "${failures}" PARENT_SCOPE)
    endif()
endfunction()

get_filename_component(output_dir "${OUTPUT_FILE}" DIRECTORY)
file(REMOVE "${OUTPUT_FILE}")
file(MAKE_DIRECTORY "${output_dir}")
# run from the build tree: the file names in the .rc must resolve against the .rc's own folder
execute_process(
    COMMAND "${WINDRES}"
        "--preprocessor=${PREPROCESSOR}" --preprocessor-arg=-E --preprocessor-arg=-xc
        --preprocessor-arg=-DRC_INVOKED
        -O res -i "${RC_FILE}" -o "${OUTPUT_FILE}"
    WORKING_DIRECTORY "${output_dir}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT EXISTS "${OUTPUT_FILE}")
    message(FATAL_ERROR "windres failed (${result}):\n${output}")
endif()

file(READ "${OUTPUT_FILE}" res HEX)
file(READ "${ICON_FILE}" icon HEX)
file(READ "${MANIFEST_FILE}" manifest HEX)
file(READ "${MANIFEST_FILE}" manifest_text)
string(LENGTH "${res}" res_digits)
math(EXPR res_size "${res_digits} / 2")

# the manifest itself must ask for elevation; an updater writing to Program Files needs it
set(space "[ \t\r\n]")
string(REGEX MATCH
       "<requestedExecutionLevel${space}+level=\"requireAdministrator\"${space}+uiAccess=\"false\""
       level "${manifest_text}")
check("updater.manifest does not request level=\"requireAdministrator\" uiAccess=\"false\"" level)

# the .ico file: one entry, its image data at the offset the entry gives
little_endian("${icon}" 4 2 icon_count)
little_endian("${icon}" 14 4 icon_image_size)
little_endian("${icon}" 18 4 icon_image_offset)
check("icon.ico holds ${icon_count} images instead of 1" icon_count EQUAL 1)
hex_bytes("${icon}" ${icon_image_offset} ${icon_image_size} icon_image)

# walk the .res: each entry is DataSize, HeaderSize, TYPE, NAME, ..., then the data, DWORD aligned
set(offset 0)
set(manifests 0)
set(icons 0)
set(groups 0)
set(icon_ids "")
set(group_data "")
while(offset LESS res_size)
    little_endian("${res}" ${offset} 4 data_size)
    math(EXPR header_size_offset "${offset} + 4")
    little_endian("${res}" ${header_size_offset} 4 header_size)
    math(EXPR type_offset "${offset} + 8")
    resource_id("${res}" ${type_offset} type name_offset)
    resource_id("${res}" ${name_offset} name ignored)
    math(EXPR data_offset "${offset} + ${header_size}")
    math(EXPR data_end "${data_offset} + ${data_size}")
    if(header_size LESS 32 OR data_end GREATER res_size)
        message(FATAL_ERROR "malformed resource entry at byte ${offset} of ${OUTPUT_FILE}")
    endif()
    hex_bytes("${res}" ${data_offset} ${data_size} data)

    if(type STREQUAL "24")
        math(EXPR manifests "${manifests} + 1")
        check("the manifest resource has id ${name} instead of 1" name STREQUAL 1)
        check("the manifest resource differs from updater.manifest" data STREQUAL manifest)
    elseif(type STREQUAL "3")
        math(EXPR icons "${icons} + 1")
        list(APPEND icon_ids ${name})
        check("the RT_ICON data differs from the image in icon.ico" data STREQUAL icon_image)
    elseif(type STREQUAL "14")
        math(EXPR groups "${groups} + 1")
        set(group_data "${data}")
    endif()

    math(EXPR offset "(${data_end} + 3) / 4 * 4")
endwhile()

check("${manifests} RT_MANIFEST resources instead of 1" manifests EQUAL 1)
check("${icons} RT_ICON resources instead of 1" icons EQUAL 1)
check("${groups} RT_GROUP_ICON resources instead of 1" groups EQUAL 1)

# the group directory repeats the .ico header and entry, with the icon's resource id in place
# of the file offset
if(icons EQUAL 1 AND groups EQUAL 1)
    hex_bytes("${icon}" 0 6 directory)
    hex_bytes("${icon}" 6 12 entry)
    to_little_endian16(${icon_ids} id)
    check("the RT_GROUP_ICON directory does not describe the icon from icon.ico"
          group_data STREQUAL "${directory}${entry}${id}")
endif()

string(HEX "requireAdministrator" admin_hex)
string(FIND "${res}" "${admin_hex}" admin_at)
check("the compiled resources do not contain requireAdministrator" NOT admin_at EQUAL -1)

if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "${OUTPUT_FILE}:\n  ${text}")
endif()
message(STATUS "updater.res: RT_MANIFEST 1 and the ${icon_image_size}-byte icon check out")
