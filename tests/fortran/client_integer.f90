! SPDX-License-Identifier: Apache-2.0
! The integer values of the Fortran client.
subroutine integer_calls()
  implicit none
  integer :: getch, found, n1, missing

  n1 = 0
  found = getch('n1', 'i', n1)
  call check(found == 1 .and. n1 == 500, 'getch of an integer')
  missing = -1
  found = getch('n9', 'd', missing)
  call check(found == 0 .and. missing == -1, 'getch of a missing integer')

  call putch('n2', 'i', 7)
  call putch('n3', 'd', -12)
  call putch('yes', 'l', 1)
  call putch('no', '1', 0)
end subroutine integer_calls
