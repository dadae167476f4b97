# The folders are the layers: the platform layer stands on nothing of the
# system above it, the hosts stand on the client library's public interface
# (and the hosts' support library), each host keeps to its own folder (no
# other host, benchmark or fuzz target builds with the viewer's own code in
# hosts/view), and tools/ holds tools that nothing links. Checked on every
# configure, so that a link that crosses a layer fails the build where it is
# written.

# Every folder below dir that the configuration builds.
function(cvl_folders_below dir out)
    get_property(folders DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    set(all ${folders})
    foreach(folder IN LISTS folders)
        cvl_folders_below(${folder} more)
        list(APPEND all ${more})
    endforeach()
    set(${out} ${all} PARENT_SCOPE)
endfunction()

# Every target defined in dir and the folders below it.
function(cvl_targets_below dir out)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    cvl_folders_below(${dir} folders)
    foreach(folder IN LISTS folders)
        get_property(more DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
        list(APPEND targets ${more})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Fails the configuration when a target under folder links one of the
# libraries named after it directly.
function(cvl_forbid_links folder)
    # Only the folders this configuration builds.
    cvl_folders_below(${CMAKE_SOURCE_DIR} built)
    if(NOT ${CMAKE_SOURCE_DIR}/${folder} IN_LIST built)
        return()
    endif()
    cvl_targets_below(${CMAKE_SOURCE_DIR}/${folder} targets)
    foreach(target IN LISTS targets)
        get_target_property(libraries ${target} LINK_LIBRARIES)
        if(NOT libraries)
            continue()
        endif()
        foreach(library IN LISTS libraries)
            if(library IN_LIST ARGN)
                message(FATAL_ERROR "${target} in ${folder}/ links ${library}, "
                                    "which its layer may not link")
            endif()
        endforeach()
    endforeach()
endfunction()

function(cvl_check_layering)
    set(system cvl_common cvl_transport cvl_service_core cvl_service_camera)
    set(clients cvlclient Corvalink::cvlclient cvl_host_support)
    set(viewer cvl_view_core)
    cvl_forbid_links(platform ${system} ${clients} ${viewer})
    cvl_forbid_links(hosts ${system})
    # The viewer's code is its own: the other hosts' folders do not link it.
    get_property(hosts DIRECTORY ${CMAKE_SOURCE_DIR}/hosts PROPERTY SUBDIRECTORIES)
    foreach(host IN LISTS hosts)
        if(NOT host STREQUAL "${CMAKE_SOURCE_DIR}/hosts/view")
            file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${host})
            cvl_forbid_links(${folder} ${viewer})
        endif()
    endforeach()
    cvl_forbid_links(tools ${system} ${clients} ${viewer})
    cvl_forbid_links(bench ${viewer})
    cvl_forbid_links(fuzz ${viewer})
endfunction()
