# Compiles a JUCE module from a copy in the build tree with a patch applied. The copy is made
# again when the patch changes; configuring fails when the patch no longer applies to the
# installed JUCE, so a JUCE update cannot silently drop it.
function(doka_patch_juce_module module patchFile)
  set(copy ${CMAKE_BINARY_DIR}/juce-patched)
  set(original ${JUCE_MODULES_DIR}/${module})
  file(SHA256 ${patchFile} patchHash)
  set(stamp ${copy}/${module}.stamp)
  set(wanted "${original} ${patchHash}")
  set(done "")
  if(EXISTS ${stamp})
    file(READ ${stamp} done)
  endif()
  if(NOT done STREQUAL wanted)
    find_program(DOKA_PATCH_PROGRAM patch REQUIRED)
    file(REMOVE_RECURSE ${copy}/${module})
    file(COPY ${original} DESTINATION ${copy})
    execute_process(COMMAND ${DOKA_PATCH_PROGRAM} -p1 --forward --batch --dry-run -i ${patchFile}
                    WORKING_DIRECTORY ${copy} RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(failed)
      message(FATAL_ERROR "${patchFile} does not apply to ${original}:\n${out}"
                          "Update the patch to this JUCE, or configure with -DDOKA_PATCH_JUCE=OFF.")
    endif()
    execute_process(COMMAND ${DOKA_PATCH_PROGRAM} -p1 --forward --batch --silent -i ${patchFile}
                    WORKING_DIRECTORY ${copy} COMMAND_ERROR_IS_FATAL ANY)
    file(WRITE ${stamp} "${wanted}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${patchFile})
  get_target_property(sources ${module} INTERFACE_SOURCES)
  string(REPLACE "${original}/" "${copy}/${module}/" sources "${sources}")
  set_target_properties(${module} PROPERTIES INTERFACE_SOURCES "${sources}")
endfunction()
