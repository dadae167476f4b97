# The folders are the layers: the platform layer stands on nothing of the
# system above it, the hosts stand on the client library's public interface
# (and the hosts' support library), and no host, benchmark or fuzz target
# builds with the viewer's own code in tools/. Checked on every configure,
# so that a link that crosses a layer fails the build where it is written.

# Every target defined in dir and the folders below it.
function(cvl_targets_below dir out)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(folders DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(folder IN LISTS folders)
        cvl_targets_below(${folder} more)
        list(APPEND targets ${more})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Fails the configuration when a target under folder links one of the
# libraries named after it directly.
function(cvl_forbid_links folder)
    # Only the folders this configuration builds.
    get_property(built DIRECTORY ${CMAKE_SOURCE_DIR} PROPERTY SUBDIRECTORIES)
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
                                    "which is above its layer")
            endif()
        endforeach()
    endforeach()
endfunction()

function(cvl_check_layering)
    set(system cvl_common cvl_transport cvl_service_core cvl_service_camera)
    set(clients cvlclient Corvalink::cvlclient cvl_host_support)
    set(viewer cvl_view_core)
    cvl_forbid_links(platform ${system} ${clients} ${viewer})
    cvl_forbid_links(hosts ${system} ${viewer})
    cvl_forbid_links(bench ${viewer})
    cvl_forbid_links(fuzz ${viewer})
endfunction()
