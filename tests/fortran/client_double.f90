! SPDX-License-Identifier: Apache-2.0
! The double-precision value of the Fortran client.
subroutine double_calls()
  implicit none
  call putch('pi', 'g', 3.14159265358979d0)
end subroutine double_calls
